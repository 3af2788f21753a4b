#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "DispTestSupport.h"
#include "platform/FileSystem.h"

namespace orbitrace::test {
namespace {

// One request on a connection of its own to the server's dispatcher port; the answer, read
// until the server closes the connection.
std::string AskServer(uint16_t port, const std::string& request) {
  LoopbackClient probe(port, 5000);  // waits until the port accepts clients
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return answer;
}

class DispatcherIntegrationTest : public ::testing::Test {
 protected:
  void StartServer() {
    port = FreeTcpPort();
    WritePortsConfig(dir.path(), port, FreeTcpPort(), 2);
    server.Start(dir.path());
    ASSERT_TRUE(WaitUntil([&] { return RunServerCommand("status").status == 0; }, 10000))
        << ReadFile(dir / "server.out");
  }
  void StopServer() {
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(10000), 0);
  }
  std::string Device(uint32_t serial, const std::string& password) {
    char name[16];
    std::snprintf(name, sizeof name, "/Data/%07u", serial);
    const std::string folder = dir.path() + name;
    ForceDirectories(folder);
    WriteFile(folder + "/password.txt", password);
    return folder;
  }
  bool LogHas(const std::string& text) {
    return ChannelLog(dir.path(), "DispLog").find(text) != std::string::npos;
  }

  ScratchDir dir;
  ServerProcess server;
  uint16_t port = 0;
};

TEST_F(DispatcherIntegrationTest, DownloadsStandByFilesPieceByPiece) {
  const std::string folder = Device(123, "secret");
  WriteFile(folder + "/0000123-100301.sbin", std::string(100, 'a'));
  WriteFile(folder + "/0000123-100308.sbin", std::string(48, 'b'));
  StartServer();

  std::string date = "??????", bytes;
  uint32_t start = 0;
  int answers = 0;
  for (; answers < 5; ++answers) {
    const DataAnswer a = ParseDataAnswer(
        AskServer(port, Request(2, {DataElement(123, Pw("secret  "), date, start)})));
    if (a.descriptors.empty()) break;
    EXPECT_EQ(a.descriptors[0].standBy, 1);
    bytes += a.bytes;
    date = a.descriptors[0].date;
    start = a.descriptors[0].end;
  }
  EXPECT_EQ(answers, 2);
  EXPECT_EQ(bytes, std::string(100, 'a') + std::string(48, 'b'));

  // No device is in the device list of a program folder without sources.
  EXPECT_EQ(AskServer(port, Request(192, {LastPosElement(123, Pw("secret  "))})), U32(8) + U32(0));
  EXPECT_TRUE(WaitUntil(
      [&] {
        return LogHas("[INF]\tПрибор 123 отправлено 100 б.") &&
               LogHas("[INF]\tПрибор 123 отправлено 48 б.") &&
               LogHas("[INF]\tПрибор 123 файлов не найдено") &&
               LogHas("[ERR]\tПрибор 123 не обслуживается");
      },
      5000))
      << ChannelLog(dir.path(), "DispLog");
  StopServer();
}

// Needs the device list: it is built from DBF/*.atg ten seconds after the start.
TEST_F(DispatcherIntegrationTest, ServedDeviceGetsARouteAndItsPosition) {
  ForceDirectories(dir / "DBF");
  WriteFile(dir / "DBF/devices.atg", "12345: PASSWORD=route1;\r\n");
  const std::string folder = Device(12345, "route1");
  WriteFile(folder + "/lastposition.bin", U32(10620432) + U32(553000000) + U32(2));
  StartServer();
  ASSERT_TRUE(WaitUntil([&] { return FileExists(dir / "Devices.txt"); }, 15000));
  const std::array<char, 8> pw = Pw("route1  ");
  EXPECT_EQ(AskServer(port, Request(128, {RouteElement(12345, pw, 4242)})),
            U32(18) + U16(128) + U32(1) + U32(8) + U32(12345));
  const DataAnswer route =
      ParseDataAnswer(AskServer(port, Request(4, {DataElement(12345, pw, "??????", 0)})));
  ASSERT_EQ(route.descriptors.size(), 1u);
  EXPECT_EQ(route.descriptors[0].end, 12u);
  ASSERT_EQ(route.bytes.size(), 12u);
  EXPECT_EQ(route.bytes.substr(4), U32(4242) + U32(0));
  EXPECT_EQ(
      AskServer(port, Request(192, {LastPosElement(12345, pw)})),
      U32(28) + U16(1) + U16(0) + U32(20) + U32(12345) + U32(55500000) + U32(0) + U32(315968400));
  StopServer();
}

}  // namespace
}  // namespace orbitrace::test
