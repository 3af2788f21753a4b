#include "wifi/WiFiConnThread.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "WiFiTestSupport.h"
#include "wifi/WiFiEpoDelivery.h"

namespace orbitrace {
namespace {

using test::DeviceClient;
using test::Frame;
using test::Records;
using test::WaitUntil;
using test::WiFiMessage;
using test::WiFiWorld;

constexpr uint32_t kServed = 123456;

WiFiMessage Msg(uint8_t command, uint32_t serial, std::string data = "") {
  WiFiMessage m;
  m.command = command;
  m.serial = serial;
  m.data = std::move(data);
  return m;
}

// The connection thread served on one end of a loopback TCP connection, the device on the other.
struct Connection {
  Connection() = default;
  Connection(Connection&&) = default;
  Connection& operator=(Connection&&) = default;
  // The thread must have left Execute() before its object goes.
  ~Connection() {
    if (thread) {
      thread->Terminate();
      thread->WaitFor();
    }
  }
  std::unique_ptr<DeviceClient> device;
  std::unique_ptr<TWiFiConnThread> thread;
  bool Ended(int timeoutMs = 5000) const {
    return WaitUntil([&] { return thread->Finished(); }, timeoutMs);
  }
};

class WiFiConnThreadConcurrencyTest : public ::testing::Test {
 protected:
  WiFiConnThreadConcurrencyTest() {
    world.registry.served = {kServed};
    options.pollIntervalMs = 10;
    options.epoAckTimeoutMs = 2000;
    EXPECT_EQ(listener.OpenTcp(0), ListenResult::Ok);
  }
  Connection Connect() {
    Connection c;
    c.device = std::make_unique<DeviceClient>(listener.LocalPort());
    EXPECT_TRUE(c.device->connected());
    c.thread = std::make_unique<TWiFiConnThread>(listener.Accept(), world.writer, world.settings,
                                                 world.context, options);
    c.thread->Resume();
    return c;
  }
  // The log without the per-chunk detail records.
  std::vector<std::string> Log() {
    std::vector<std::string> lines;
    for (const std::string& line : world.Log()) {
      if (line.rfind("DVL 0 Принят запрос ", 0) != 0) lines.push_back(line);
    }
    return lines;
  }

  WiFiWorld world;
  TWiFiOptions options;
  ListeningSocket listener;
};

TEST_F(WiFiConnThreadConcurrencyTest, DeviceIdentifiesUploadsResendsAndFinishes) {
  Connection c = Connect();
  const WiFiMessage identify = Msg(64, kServed);
  ASSERT_TRUE(c.device->Send(identify.Bytes()));
  EXPECT_EQ(c.device->Read(35), Frame(identify, "DEVICE_ACCEPT", false));
  const WiFiMessage upload = Msg(4, kServed, Records(2, 16));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(c.device->Send(upload.Bytes()));
    EXPECT_EQ(c.device->Read(33), Frame(upload, "DATA_ACCEPT", true));
  }
  ASSERT_TRUE(c.device->Send("FINISH\r\n"));
  EXPECT_TRUE(c.device->ClosedByPeer());
  ASSERT_TRUE(c.Ended());
  EXPECT_EQ(test::ReadFile(world.DevicePath(kServed, "0123456-240101.sbin")), Records(2, 16));
  EXPECT_TRUE(world.LogHas("DVL 0 Принят запрос 22 байт"));
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "INF 123456 Прием данных разрешен", "INF 123456 Принято 32 байт",
                       "INF 123456 Принято 0 байт", "DVL 0 DeviceConnRead return error",
                       "DVL 0 Term=0, Con=0", "INF 0 Соединение закрыто"}));
}

TEST_F(WiFiConnThreadConcurrencyTest, SilenceLongerThanTheSharedLimitEndsTheConnection) {
  world.clock.tick = 1000;
  Connection c = Connect();
  // A command-1 header whose data never follows sets the limit to 30 seconds.
  ASSERT_TRUE(c.device->Send(Msg(1, kServed, Records(2, 12)).Bytes().substr(0, 22)));
  ASSERT_TRUE(WaitUntil([&] { return world.LogHas("DVL 0 Принят запрос 22 байт"); }, 5000));
  EXPECT_EQ(WiFiIdleLimit.load(), 30000u);
  world.clock.tick = 31000;
  EXPECT_TRUE(c.device->Quiet(100));  // exactly the limit is not yet too long
  EXPECT_FALSE(c.thread->Finished());
  world.clock.tick = 31001;
  EXPECT_TRUE(c.device->ClosedByPeer());
  ASSERT_TRUE(c.Ended());
  EXPECT_EQ(Log(), (std::vector<std::string>{"INF 0 Таймаут соединения", "DVL 0 Term=0, Con=0",
                                             "INF 0 Соединение закрыто"}));
}

TEST_F(WiFiConnThreadConcurrencyTest, TerminateRequestAndPeerCloseEndTheLoop) {
  Connection terminated = Connect();
  terminated.thread->Terminate();
  EXPECT_TRUE(terminated.device->ClosedByPeer());
  ASSERT_TRUE(terminated.Ended());
  EXPECT_EQ(Log(), (std::vector<std::string>{"DVL 0 Term=1, Con=1", "INF 0 Соединение закрыто"}));

  Connection closed = Connect();
  closed.device.reset();
  ASSERT_TRUE(closed.Ended());
  EXPECT_EQ(Log(), (std::vector<std::string>{"DVL 0 Term=1, Con=1", "INF 0 Соединение закрыто",
                                             "DVL 0 Close on recv", "DVL 0 Term=0, Con=0",
                                             "INF 0 Соединение закрыто"}));
}

TEST_F(WiFiConnThreadConcurrencyTest, RefusedDeviceIsAnsweredOnlyWhereItMayBe) {
  constexpr uint32_t kUnlisted = 654321;
  Connection c = Connect();
  ASSERT_TRUE(c.device->Send(Msg(7, kUnlisted).Bytes()));
  EXPECT_TRUE(c.device->Quiet(200));  // no answer, connection open
  const WiFiMessage identify = Msg(64, kUnlisted);
  ASSERT_TRUE(c.device->Send(identify.Bytes()));
  EXPECT_EQ(c.device->Read(35), Frame(identify, "DEVICE_REJECT", false));
  ASSERT_TRUE(c.device->Send(Msg(2, kUnlisted, "config").Bytes()));
  EXPECT_EQ(c.device->Read(1, 2000), "");
  EXPECT_TRUE(c.device->ClosedByPeer());
  ASSERT_TRUE(c.Ended());
  EXPECT_FALSE(FileExists(world.DevicePath(kUnlisted, "0654321-240101.log")));
}

TEST_F(WiFiConnThreadConcurrencyTest, DataBufferThatCannotBeAllocatedClosesTheConnection) {
  options.allocate = [](size_t size) {
    return size > kWiFiReceiveBufferSize ? std::unique_ptr<char[]>()
                                         : std::make_unique<char[]>(size);
  };
  Connection c = Connect();
  WiFiMessage big = Msg(4, kServed);
  big.totalLength = kWiFiMaxMessage;
  ASSERT_TRUE(c.device->Send(big.Bytes()));
  EXPECT_TRUE(c.device->ClosedByPeer());
  ASSERT_TRUE(c.Ended());
  EXPECT_EQ(Log(), (std::vector<std::string>{"ERR 123456 Нет памяти для сообщения 3145706 байт",
                                             "DVL 0 DeviceConnRead return error",
                                             "DVL 0 Term=0, Con=0", "INF 0 Соединение закрыто"}));
}

TEST_F(WiFiConnThreadConcurrencyTest, AssistedGpsFileIsFetchedOverTheSocket) {
  std::string content(kEpoFileSize, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 253);
  ForceDirectories(world.dir / "agpsdata");
  test::WriteFile(world.dir / "agpsdata/MTK7d.EPO", content);
  Connection c = Connect();
  const WiFiMessage request = Msg(7, kServed);
  ASSERT_TRUE(c.device->Send(request.Bytes()));
  std::string received;
  for (uint32_t offset = 0; offset < kEpoFileSize; offset += kEpoChunkSize) {
    const std::string head = c.device->Read(30);
    ASSERT_EQ(head.size(), 30u) << offset;
    const uint32_t length = GetU32(wifi::Bytes(head.data() + 26));
    ASSERT_EQ(GetU32(wifi::Bytes(head.data() + 22)), offset);
    received += c.device->Read(length);
    std::string ack = "EPOK";
    wifi::AppendU32(ack, offset);
    ASSERT_TRUE(c.device->Send(ack));
  }
  std::string end = "END";
  wifi::AppendU32(end, kEpoFileSize);
  EXPECT_EQ(c.device->Read(29), Frame(request, end, true));
  EXPECT_EQ(received, content);
  // The connection goes on after the transfer.
  const WiFiMessage identify = Msg(64, kServed);
  ASSERT_TRUE(c.device->Send(identify.Bytes()));
  EXPECT_EQ(c.device->Read(35), Frame(identify, "DEVICE_ACCEPT", false));
}

TEST_F(WiFiConnThreadConcurrencyTest, ManyDevicesUploadAtOnce) {
  constexpr int kDevices = 8;
  constexpr uint32_t kMessages = 25;
  for (int d = 0; d < kDevices; ++d) world.registry.served.insert(200000 + d);
  std::vector<Connection> connections;
  for (int d = 0; d < kDevices; ++d) connections.push_back(Connect());
  std::vector<std::thread> devices;
  std::atomic<int> acknowledged{0};
  for (int d = 0; d < kDevices; ++d) {
    devices.emplace_back([&, d] {
      DeviceClient& device = *connections[d].device;
      for (uint32_t i = 0; i < kMessages; ++i) {
        const WiFiMessage m = Msg(6, 200000 + d, test::WithTrailer(Records(4, 16, i * 4)));
        if (!device.Send(m.Bytes())) return;
        if (device.Read(13) == "DATA ACCEPT\r\n") ++acknowledged;
      }
      device.Send("FINISH");
    });
  }
  for (std::thread& t : devices) t.join();
  EXPECT_EQ(acknowledged.load(), kDevices * static_cast<int>(kMessages));
  for (int d = 0; d < kDevices; ++d) {
    ASSERT_TRUE(connections[d].Ended());
    const uint32_t serial = 200000 + d;
    char name[32];
    std::snprintf(name, sizeof name, "%07u-240101.sbin", serial);
    EXPECT_TRUE(test::ReadFile(world.DevicePath(serial, name)) == Records(4 * kMessages, 16)) << d;
  }
}

}  // namespace
}  // namespace orbitrace
