#include "service/Settings.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/FileSystem.h"

namespace orbitrace {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { s.DerivePaths(dir.path() + "//"); }
  std::string Ini() const { return ReadFile(s.ConfigFile); }
  ScratchDir dir;
  TSettings s;
};

TEST_F(SettingsTest, DerivedPaths) {
  EXPECT_EQ(s.ProgramDir, dir.path());
  EXPECT_EQ(s.ConfigFile, dir.path() + "/OrbitraceServer.ini");
  EXPECT_EQ(s.DBFDir, dir.path() + "/DBF/");
  EXPECT_EQ(s.PasswordsDir, dir.path() + "/Passwords/");
  EXPECT_EQ(s.RedirectDir, dir.path() + "/Redirect/");
  EXPECT_EQ(s.DispatcherDir, dir.path() + "/Dispatcher/");
  EXPECT_EQ(s.JournalFile, dir.path() + "/Logs/Orbitraceserver.log");
  EXPECT_EQ(s.log.LogFolder(), dir.path() + "/Logs/");
}

TEST_F(SettingsTest, EmptyFileGainsExactlyTheDefaultKeys) {
  WriteFile(s.ConfigFile, "");
  ASSERT_TRUE(ReadStartupSettings(s, nullptr));
  EXPECT_EQ(Ini(), "[COMMON]\r\nDataFolder=" + dir.path() +
                       "/Data\r\nDispatcherPort=2226\r\nWiFiPort=2224\r\nTimeZone=0\r\n[LOG]\r\n"
                       "WriteLog=1\r\nLogLevel=3\r\nEnableLogSplit=1\r\nLogSplitTime=1\r\n"
                       "LogStorageTime=30\r\nWriteDispatcherLog=1\r\nWriteWiFiLog=1\r\n");
  EXPECT_EQ(s.DataFolder, dir.path() + "/Data");
  EXPECT_EQ(s.DispatcherPort, 2226);
  EXPECT_EQ(s.WiFiPort, 2224);
  EXPECT_EQ(s.DevicesPort, 2225);
  EXPECT_EQ(s.log.logLevel.load(), 3);
  EXPECT_EQ(s.log.enableLogSplit.load(), 1);
  EXPECT_EQ(s.log.logStorageTime.load(), 30);
  EXPECT_EQ(s.DateTimeFormat, "yyyymmdd hh:nn:ss.000");
  EXPECT_EQ(s.YandexURL, kDefaultYandexUrl);
  EXPECT_TRUE(s.GuaranteedInsert);
}

TEST_F(SettingsTest, StartupReadAppliesTheTableRules) {
  WriteFile(s.ConfigFile,
            "[COMMON]\nDataFolder=/srv/data///\nDispatcherPort=67762\nWriteLog=0\nWriteDebug=1\n"
            "EnableBilling=1\n[LOG]\nLogLevel=0x2\nWriteLog=0\nLogStorageTime=abc\n"
            "[REDIRECT]\nUDPRedirectPort=70000\n[SQL]\nDateTimeFormat=\n");
  ASSERT_TRUE(ReadStartupSettings(s, nullptr));
  EXPECT_EQ(s.DataFolder, "/srv/data");
  EXPECT_EQ(s.DispatcherTcpPort(), 2226);  // 65536 + 2226
  EXPECT_EQ(s.log.logLevel.load(), 2);
  EXPECT_FALSE(s.log.writeLog.load());
  EXPECT_EQ(s.log.logStorageTime.load(), 0);  // not a number: the start-up fallback
  EXPECT_FALSE(s.EnableBilling);              // billing stays off after a normal start
  EXPECT_EQ(s.UDPRedirectPort, 70000 & 0xFFFF);
  EXPECT_EQ(s.DateTimeFormat, "yyyymmdd hh:nn:ss.000");
  const std::string ini = Ini();
  EXPECT_EQ(ini.find("WriteDebug"), std::string::npos);
  // The obsolete COMMON WriteLog is gone; the LOG one stays.
  EXPECT_EQ(ini.find("WriteLog"), ini.rfind("WriteLog"));
  EXPECT_NE(ini.find("[LOG]\nLogLevel=0x2\nWriteLog=0"), std::string::npos);
}

TEST_F(SettingsTest, LegacyRedirectKeysAreHandedOverAndDeleted) {
  WriteFile(s.ConfigFile,
            "[REDIRECT]\nRedirectEnable=1\nRedirectServer=host\nRedirectPort=2225\n"
            "RedirectPeriod=5\nRedirectFormat=1\nRedirectAll=1\nUDPRedirectServer=keep\n");
  int calls = 0;
  ASSERT_TRUE(ReadStartupSettings(s, [&](IniFile& ini) {
    ++calls;
    EXPECT_EQ(ini.ReadString("REDIRECT", "RedirectServer", ""), "host");
  }));
  EXPECT_EQ(calls, 1);
  const std::string ini = Ini();
  for (const char* key : {"RedirectEnable", "RedirectServer", "RedirectPort", "RedirectPeriod",
                          "RedirectFormat", "RedirectAll"}) {
    EXPECT_EQ(ini.find(std::string("\n") + key), std::string::npos) << key;
  }
  EXPECT_NE(ini.find("UDPRedirectServer=keep"), std::string::npos);
  // A second read finds nothing to migrate.
  ASSERT_TRUE(ReadStartupSettings(s, [&](IniFile&) { ++calls; }));
  EXPECT_EQ(calls, 1);
}

TEST_F(SettingsTest, UnwritableFileLeavesSettingsNotLoaded) {
  WriteFile(s.ConfigFile, "[COMMON]\nDataFolder=/d/\nEnableBilling=1\n");
  ASSERT_TRUE(SetReadOnly(s.ConfigFile, true));
  EXPECT_FALSE(ReadStartupSettings(s, nullptr));
  EXPECT_FALSE(s.SettingsLoaded);
  EXPECT_EQ(s.DispatcherPort, 0);  // never read: initial value
  EXPECT_EQ(s.log.logLevel.load(), 1);
  EXPECT_EQ(s.DataFolder, "");
}

TEST_F(SettingsTest, ReloadUsesItsOwnFallbacksAndFailsWithoutTouchingValues) {
  WriteFile(s.ConfigFile, "[COMMON]\nDataFolder=/d\n[LOG]\nLogLevel=4\n");
  ReadLogSettings(s);
  EXPECT_EQ(s.log.logLevel.load(), 4);
  // The defaults were written back first, so the reload reads the written values.
  EXPECT_EQ(s.log.enableLogSplit.load(), 1);
  EXPECT_EQ(s.log.logStorageTime.load(), 30);

  WriteFile(s.ConfigFile, "[COMMON]\nDataFolder=/d\n[LOG]\nLogLevel=2\n");
  ASSERT_TRUE(SetReadOnly(s.ConfigFile, true));
  EXPECT_THROW(ReadLogSettings(s), IniWriteError);
  EXPECT_EQ(s.log.logLevel.load(), 4);
}

}  // namespace
}  // namespace orbitrace
