#include "service/Main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace orbitrace::test {
namespace {

// A started service module with its main loop running on a thread of its own. The module, its
// loop and its log writer live until the process ends, as they do in the server (threads it
// started may still use them).
class SupervisionConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispPort_ = FreeTcpPort();
    wifiPort_ = FreeTcpPort();
    WritePortsConfig(dir_.path(), dispPort_, wifiPort_);
    loop_ = new MainLoop;
    MainLoop::SetMain(loop_);
    ServiceOptions options;
    options.programDir = dir_.path();
    options.dirTimerMs = 3600000;
    service_ = new TOrbitraceService(*loop_, options);
    loopThread_ = std::thread([this] { loop_->Run(); });
    ASSERT_TRUE(WaitUntil([&] { return loop_->Running(); }, 5000));
    bool started = true;
    service_->ServiceStart(started);
  }

  void TearDown() override {
    // The host's stop: the request loop ends, the workers are asked to stop, nothing restarts.
    std::thread serviceThread([this] { service_->ServiceExecute(); });
    service_->RequestStop();
    serviceThread.join();
    EXPECT_TRUE(service_->WaitWorkersEnded(10000));
    loop_->Quit();
    loopThread_.join();
  }

  size_t CountLine(const std::string& line) {
    const auto lines = JournalLines(dir_.path());
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }

  ScratchDir dir_;
  uint16_t dispPort_ = 0;
  uint16_t wifiPort_ = 0;
  MainLoop* loop_ = nullptr;
  TOrbitraceService* service_ = nullptr;
  std::thread loopThread_;
};

TEST_F(SupervisionConcurrencyTest, ListenerEndingWithCodeZeroIsStartedAgainAndServes) {
  service_->StartDispModule();
  service_->StartDispModule();  // already running: nothing happens
  EXPECT_EQ(CountLine("Диспетчерский модуль запущен"), 1u);
  {
    LoopbackClient client(dispPort_, 5000);
    ASSERT_TRUE(client.connected());
  }

  // Ends the running listener with exit code 0 while the service runs.
  service_->StopDispModule();
  ASSERT_TRUE(WaitUntil([&] { return CountLine("Диспетчерский модуль запущен") == 2; }, 5000));
  const std::vector<std::string> expected = {"Служба запущена", "Диспетчерский модуль запущен",
                                             "Диспетчерский модуль остановлен",
                                             "Диспетчерский модуль запущен"};
  EXPECT_EQ(JournalLines(dir_.path()), expected);

  // The new listener has bound the port again and hands clients to connection threads.
  LoopbackClient client(dispPort_, 5000);
  ASSERT_TRUE(client.connected());
  const std::string line = "Клиент 127.0.0.1:" + std::to_string(client.localPort()) + " подключен";
  EXPECT_TRUE(WaitUntil(
      [&] { return ChannelLog(dir_.path(), "DispLog").find(line) != std::string::npos; }, 5000))
      << ChannelLog(dir_.path(), "DispLog");
}

TEST_F(SupervisionConcurrencyTest, ExitCodeJournalLines) {
  const struct {
    const char* module;
    int8_t code;
    int32_t port;
    const char* line;
  } cases[] = {
      {kDispModuleName, 1, 2226, "Диспетчерский модуль: Не удалось создать сокет на адресе "},
      {kWiFiModuleName, 2, 2224, "Модуль WiFi: Не удалось создать сокет на порту 2224"},
      {kDispModuleName, 3, 2226, "Диспетчерский модуль: ошибка WinSock"},
      {kWiFiModuleName, 0, 2224, nullptr},  // no line for a normal end
  };
  std::vector<std::string> expected = {"Служба запущена"};
  for (const auto& c : cases) {
    service_->JournalExitCode(c.module, c.code, c.port);
    if (c.line) expected.push_back(c.line);
  }
  EXPECT_EQ(JournalLines(dir_.path()), expected);
}

}  // namespace
}  // namespace orbitrace::test
