#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>

#include "TestSupport.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
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

namespace orbitrace::test {
namespace {

int RunServerCommand(const std::string& args, std::string* output = nullptr) {
  const std::string cmd = std::string(ORBITRACE_SERVER_PATH) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = pclose(p);
  if (output) *output = out;
  return WEXITSTATUS(status);
}

TEST(ServiceIntegrationTest, InstallWritesUnitAndResetsDataFolderUninstallRemovesIt) {
  ScratchDir prog, units;
  WriteFile(prog / "OrbitraceServer.ini", "[COMMON]\nDataFolder=/elsewhere\n[LOG]\nLogLevel=1\n");
  std::string out;
  ASSERT_EQ(RunServerCommand("install --program-dir " + prog.path() + " --unit-dir " + units.path(),
                             &out),
            0)
      << out;
  const std::string unit = ReadFile(units / "OrbitraceService.service");
  for (const std::string& line :
       {std::string("Type=notify"), std::string("TasksMax=infinity"),
        std::string("After=network-online.target"), std::string("NoNewPrivileges=yes"),
        "ExecStart=\"" + std::string(ORBITRACE_SERVER_PATH) + "\" run --program-dir \"" +
            prog.path() + "\"",
        "ReadWritePaths=\"" + prog.path() + "\"", std::string("Description=Обеспечивет приём")}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(unit.find("PrivateNetwork"), std::string::npos);
  const std::string ini = ReadFile(prog / "OrbitraceServer.ini");
  EXPECT_NE(ini.find("DataFolder=" + prog.path() + "/Data\n"), std::string::npos);
  EXPECT_NE(ini.find("LogLevel=1"), std::string::npos);
  EXPECT_NE(ini.find("WiFiPort=2224"), std::string::npos);

  EXPECT_EQ(RunServerCommand("uninstall --unit-dir " + units.path()), 0);
  EXPECT_FALSE(FileExists(units / "OrbitraceService.service"));
}

TEST(ServiceIntegrationTest, InstallIsUndoneWhenTheConfigurationCannotBeWritten) {
  ScratchDir prog, units;
  WriteFile(prog / "OrbitraceServer.ini", "[COMMON]\n");
  ASSERT_TRUE(SetReadOnly(prog / "OrbitraceServer.ini", true));
  std::string out;
  EXPECT_EQ(RunServerCommand("install --program-dir " + prog.path() + " --unit-dir " + units.path(),
                             &out),
            1);
  EXPECT_FALSE(FileExists(units / "OrbitraceService.service")) << out;
}

TEST(ServiceIntegrationTest, ReadOnlyConfigurationStillStartsAndStops) {
  ScratchDir dir;
  WriteFile(dir / "OrbitraceServer.ini", "[COMMON]\nDataFolder=/x\n");
  ASSERT_TRUE(SetReadOnly(dir / "OrbitraceServer.ini", true));
  ServerProcess server;
  server.Start(dir.path());
  ASSERT_TRUE(
      WaitUntil([&] { return !ReadFile(dir / "Logs/Orbitraceserver.log").empty(); }, 10000));
  SleepMs(200);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(5000), 0);
  EXPECT_EQ(ReadFile(dir / "OrbitraceServer.ini"), "[COMMON]\nDataFolder=/x\n");
}

TEST(ServiceIntegrationTest, CommandLineHelpVersionAndErrors) {
  std::string out;
  EXPECT_EQ(RunServerCommand("--help", &out), 0);
  EXPECT_NE(out.find("run [--program-dir DIR]"), std::string::npos);
  EXPECT_EQ(RunServerCommand("--version", &out), 0);
  EXPECT_EQ(out.rfind("orbitrace-server ", 0), 0u);
  EXPECT_EQ(RunServerCommand("frobnicate", &out), 2);
  EXPECT_EQ(RunServerCommand("run --program-dir", &out), 2);
  EXPECT_EQ(RunServerCommand("", &out), 2);
}

}  // namespace
}  // namespace orbitrace::test
