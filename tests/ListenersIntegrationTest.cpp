#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace orbitrace::test {
namespace {

std::string VersionAnswer() {
  return "OrbitraceServer " + std::to_string(ORBITRACE_VERSION_MAJOR) + "." +
         std::to_string(ORBITRACE_VERSION_MINOR) + "." + std::to_string(ORBITRACE_VERSION_RELEASE) +
         "." + std::to_string(ORBITRACE_VERSION_BUILD) + "-W";
}

bool JournalHas(const std::string& programDir, const std::string& line) {
  const auto lines = JournalLines(programDir);
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool LogHas(const std::string& programDir, const std::string& channel, const std::string& text) {
  return ChannelLog(programDir, channel).find(text) != std::string::npos;
}

std::string ClientLine(const LoopbackClient& client) {
  return "Клиент 127.0.0.1:" + std::to_string(client.localPort()) + " подключен";
}

TEST(ListenersIntegrationTest, ServesBothPortsAnswersStatusAndStopsPromptlyOnSigterm) {
  ScratchDir dir;
  const uint16_t dispPort = FreeTcpPort();
  const uint16_t wifiPort = FreeTcpPort();
  WritePortsConfig(dir.path(), dispPort, wifiPort);
  ServerProcess server;
  server.Start(dir.path());
  ASSERT_TRUE(WaitUntil([&] { return RunServerCommand("status").status == 0; }, 10000))
      << ReadFile(dir / "server.out");
  EXPECT_EQ(RunServerCommand("status").out, VersionAnswer() + "\n");

  // Each accepted client is announced under its own port, in host byte order.
  {
    LoopbackClient dispClient(dispPort, 5000);
    LoopbackClient wifiClient(wifiPort, 5000);
    ASSERT_TRUE(dispClient.connected());
    ASSERT_TRUE(wifiClient.connected());
    EXPECT_TRUE(
        WaitUntil([&] { return LogHas(dir.path(), "DispLog", ClientLine(dispClient)); }, 5000))
        << ChannelLog(dir.path(), "DispLog");
    EXPECT_TRUE(WaitUntil(
        [&] { return LogHas(dir.path(), "WiFiLog", "Прибор:      0\t" + ClientLine(wifiClient)); },
        5000))
        << ChannelLog(dir.path(), "WiFiLog");
  }

  // Both listeners wait for clients that never come: the stop must not depend on them.
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(10000), 0) << ReadFile(dir / "server.out");

  // The stop ends both listeners and restarts neither.
  const auto lines = JournalLines(dir.path());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
            (std::vector<std::string>{"Служба запущена", "Диспетчерский модуль запущен",
                                      "Модуль WiFi запущен"}));
  std::vector<std::string> stops(lines.begin() + 3, lines.end());
  std::sort(stops.begin(), stops.end());
  EXPECT_EQ(stops, (std::vector<std::string>{"Диспетчерский модуль остановлен",
                                             "Модуль WiFi остановлен"}));

  const CommandResult none = RunServerCommand("status");
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "");
}

TEST(ListenersIntegrationTest, TakenPortEndsThatListenerWithCodeOneWhileTheOtherServes) {
  ScratchDir dir;
  // A socket without address reuse holds the dispatcher port.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  uint16_t dispPort = 0;
  ASSERT_TRUE(WaitUntil(
      [&] {
        dispPort = FreeTcpPort();
        addr.sin_port = htons(dispPort);
        return bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
      },
      5000));
  ASSERT_EQ(listen(holder, 1), 0);
  const uint16_t wifiPort = FreeTcpPort();
  WritePortsConfig(dir.path(), dispPort, wifiPort);

  ServerProcess server;
  server.Start(dir.path());
  ASSERT_TRUE(
      WaitUntil([&] { return JournalHas(dir.path(), "Диспетчерский модуль остановлен"); }, 10000))
      << ReadFile(dir / "server.out");
  {
    LoopbackClient wifiClient(wifiPort, 5000);
    ASSERT_TRUE(wifiClient.connected());
    EXPECT_TRUE(
        WaitUntil([&] { return LogHas(dir.path(), "WiFiLog", ClientLine(wifiClient)); }, 5000));
  }
  // The failed listener logged its start message and nothing else.
  const std::string dispLog = ChannelLog(dir.path(), "DispLog");
  EXPECT_NE(dispLog.find("Диспетчерский модуль запущен"), std::string::npos);
  EXPECT_EQ(std::count(dispLog.begin(), dispLog.end(), '\n'), 1) << dispLog;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(10000), 0);
  close(holder);

  std::vector<std::string> disp;
  for (const std::string& line : JournalLines(dir.path())) {
    if (line.rfind("Диспетчерский модуль", 0) == 0) disp.push_back(line);
  }
  // The failure lines follow each other, and the listener is not started again.
  EXPECT_EQ(disp,
            (std::vector<std::string>{"Диспетчерский модуль запущен",
                                      "Диспетчерский модуль: Не удалось создать сокет на адресе ",
                                      "Диспетчерский модуль остановлен"}));
  const auto lines = JournalLines(dir.path());
  const auto failure = std::find(lines.begin(), lines.end(),
                                 "Диспетчерский модуль: Не удалось создать сокет на адресе ");
  ASSERT_NE(failure, lines.end());
  ASSERT_NE(failure + 1, lines.end());
  EXPECT_EQ(*(failure + 1), "Диспетчерский модуль остановлен");
  EXPECT_TRUE(JournalHas(dir.path(), "Модуль WiFi остановлен"));
}

}  // namespace
}  // namespace orbitrace::test
