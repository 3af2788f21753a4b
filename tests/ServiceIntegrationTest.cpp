#include <gtest/gtest.h>
#include <signal.h>

#include "TestSupport.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace orbitrace::test {
namespace {

TEST(ServiceIntegrationTest, FirstStartWritesDefaultsAndJournalAndStopsOnSigterm) {
  ScratchDir dir;
  WriteFile(dir / "Devices.txt", "stale");
  WriteFile(dir / "Redirect.txt", "stale");
  ServerProcess server;
  server.Start(dir.path());
  const std::string journal = dir / "Logs/Orbitraceserver.log";
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(journal).find("\r\n") != std::string::npos; }, 10000))
      << ReadFile(dir / "server.out");
  // Give the start-up a moment past the journal line to finish the configuration read.
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadFile(dir / "OrbitraceServer.ini").find("TimeZone") != std::string::npos; },
      10000));
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(5000), 0) << ReadFile(dir / "server.out");

  // The first line of the journal; the listeners' lines follow it.
  const std::string text = Cp1251ToUtf8(ReadFile(journal));
  const std::string line = text.substr(0, text.find("\r\n") + 2);
  ASSERT_GE(line.size(), 22u);
  EXPECT_EQ(line[0], '[');
  EXPECT_EQ(line.substr(20, 2), "] ");
  EXPECT_EQ(line.substr(22), "Служба запущена\r\n");

  const std::string ini = ReadFile(dir / "OrbitraceServer.ini");
  const std::string expected = "[COMMON]\r\nDataFolder=" + dir.path() +
                               "/Data\r\nDispatcherPort=2226\r\nWiFiPort=2224\r\nTimeZone=0\r\n"
                               "[LOG]\r\nWriteLog=1\r\nLogLevel=3\r\nEnableLogSplit=1\r\n"
                               "LogSplitTime=1\r\nLogStorageTime=30\r\nWriteDispatcherLog=1\r\n"
                               "WriteWiFiLog=1\r\n";
  EXPECT_EQ(ini, expected);
  EXPECT_FALSE(FileExists(dir / "Devices.txt"));
  EXPECT_FALSE(FileExists(dir / "Redirect.txt"));
}

}  // namespace
}  // namespace orbitrace::test
