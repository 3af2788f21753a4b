#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>

#include "TestSupport.h"
#include "WiFiTestSupport.h"
#include "platform/Clock.h"
#include "wifi/WiFiEpoDelivery.h"

namespace orbitrace::test {
namespace {

WiFiMessage Msg(uint8_t command, uint32_t serial, std::string data = "") {
  WiFiMessage m;
  m.command = command;
  m.serial = serial;
  m.data = std::move(data);
  return m;
}

class WiFiIntegrationTest : public ::testing::Test {
 protected:
  void Start() {
    wifiPort = FreeTcpPort();
    WritePortsConfig(dir.path(), FreeTcpPort(), wifiPort, 1);
    server.Start(dir.path());
  }
  std::unique_ptr<DeviceClient> Connect() {
    std::unique_ptr<DeviceClient> device;
    WaitUntil(
        [&] {
          device = std::make_unique<DeviceClient>(wifiPort);
          return device->connected();
        },
        10000);
    return device;
  }
  bool LogHas(const std::string& text) {
    return WaitUntil(
        [&] { return ChannelLog(dir.path(), "WiFiLog").find(text) != std::string::npos; }, 5000);
  }
  void TearDown() override {
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(10000), 0) << ReadFile(dir / "server.out");
  }

  ScratchDir dir;
  ServerProcess server;
  uint16_t wifiPort = 0;
};

TEST_F(WiFiIntegrationTest, UnlistedDeviceGetsTheRefusedTreatment) {
  Start();
  auto device = Connect();
  ASSERT_TRUE(device && device->connected()) << ReadFile(dir / "server.out");
  const WiFiMessage identify = Msg(64, 123456);
  ASSERT_TRUE(device->Send(identify.Bytes()));
  EXPECT_EQ(device->Read(35), Frame(identify, "DEVICE_REJECT", false));
  // Assisted GPS: no answer, connection kept.
  ASSERT_TRUE(device->Send(Msg(7, 123456).Bytes()));
  EXPECT_TRUE(device->Quiet(300));
  const WiFiMessage named = Msg(65, 123456, std::string("030124bin\0", 10) + "x");
  ASSERT_TRUE(device->Send(named.Bytes()));
  EXPECT_EQ(device->Read(35), Frame(named, "DEVICE_REJECT", false));
  // A file command ends the connection without an answer.
  ASSERT_TRUE(device->Send(Msg(4, 123456, Records(1, 16)).Bytes()));
  EXPECT_TRUE(device->ClosedByPeer());
  EXPECT_TRUE(LogHas("Прибор: 123456\tПрибор не обслуживается"));
  EXPECT_TRUE(LogHas("Прибор: 123456\tПрием данных отклонен"));
  EXPECT_TRUE(LogHas("Прибор:      0\tDeviceConnRead return error"));
  EXPECT_TRUE(LogHas("Прибор:      0\tСоединение закрыто"));
}

// A device listed in an ATG file identifies itself, uploads records (resent once), a named file
// and fetches the assisted-GPS file. It needs the device registry behind the service: where the
// registry does not serve devices yet (no password.txt after the first contact), it is skipped.
TEST_F(WiFiIntegrationTest, ListedDeviceUploadsAndFetchesTheAssistedGpsFile) {
  constexpr uint32_t kSerial = 1234567;
  ForceDirectories(dir / "DBF");
  WriteFile(dir / "DBF/devices.atg", "1234567: PASSWORD=secret12;\r\n");
  std::string epo(kEpoFileSize, 'e');
  ForceDirectories(dir / "agpsdata");
  WriteFile(dir / "agpsdata/MTK7d.EPO", epo);
  Start();
  auto device = Connect();
  ASSERT_TRUE(device && device->connected()) << ReadFile(dir / "server.out");
  const WiFiMessage identify = Msg(64, kSerial);
  ASSERT_TRUE(device->Send(identify.Bytes()));
  std::string reply = device->Read(35);
  // The first contact stores the device's password.
  EXPECT_TRUE(FileExists(dir / "Data/1234567/password.txt"));
  // The device list is first built ten seconds after the start.
  ASSERT_TRUE(WaitUntil(
      [&] {
        if (reply == Frame(identify, "DEVICE_ACCEPT", false)) return true;
        device->Send(identify.Bytes());
        reply = device->Read(35);
        return false;
      },
      20000));
  const LocalDateTime now = SystemClock::Instance().Now();
  const Date monday = MondayOf(Date{now.year, now.month, now.day});
  char week[64];
  std::snprintf(week, sizeof week, "Data/1234567/1234567-%02d%02d%02d.sbin", monday.year % 100,
                monday.month, monday.day);
  const WiFiMessage upload = Msg(4, kSerial, Records(3, 16));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(device->Send(upload.Bytes()));
    EXPECT_EQ(device->Read(33), Frame(upload, "DATA_ACCEPT", true));
  }
  EXPECT_EQ(ReadFile(dir / week), Records(3, 16));
  const WiFiMessage named = Msg(65, kSerial, std::string("030124bin\0", 10) + "named");
  ASSERT_TRUE(device->Send(named.Bytes()));
  EXPECT_EQ(device->Read(33), Frame(named, "DATA_ACCEPT", false));
  EXPECT_EQ(ReadFile(dir / "Data/1234567/1234567-240103.bin"), "named");

  ASSERT_TRUE(device->Send(Msg(7, kSerial).Bytes()));
  std::string received;
  for (uint32_t offset = 0; offset < kEpoFileSize; offset += kEpoChunkSize) {
    const std::string head = device->Read(30);
    ASSERT_EQ(head.size(), 30u);
    received += device->Read(GetU32(wifi::Bytes(head.data() + 26)));
    std::string ack = "EPOK";
    wifi::AppendU32(ack, offset);
    ASSERT_TRUE(device->Send(ack));
  }
  EXPECT_EQ(device->Read(29).substr(22, 3), "END");
  EXPECT_EQ(received, epo);
  ASSERT_TRUE(device->Send("FINISH"));
  EXPECT_TRUE(device->ClosedByPeer());
  EXPECT_TRUE(LogHas("Прибор:1234567\tПринято 48 байт"));
  EXPECT_TRUE(LogHas("Прибор:1234567\tПринято 0 байт"));
  EXPECT_TRUE(LogHas("Прибор:1234567\tОтправлен EPO файл"));
}

}  // namespace
}  // namespace orbitrace::test
