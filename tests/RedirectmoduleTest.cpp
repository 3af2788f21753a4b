#include "registry/Redirectmodule.h"

#include <gtest/gtest.h>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"
#include "service/Settings.h"

namespace orbitrace::test {
namespace {

TEST(RedirectmoduleTest, OldKeysMoveIntoAServerFolderOnce) {
  struct Case {
    const char* what;
    std::string keys;
    bool folderExists;     // before the start
    std::string settings;  // Settings.ini afterwards ("" for none)
  } cases[] = {
      {"enabled", "RedirectEnable=1\r\nRedirectServer=host.example\r\nRedirectPort=2225\r\n", false,
       "[COMMON]\r\nPeriod=60\r\nRedirectAll=0\r\nFormat=0\r\n"},
      {"all values",
       "RedirectEnable=1\r\nRedirectServer=host.example\r\nRedirectPort=2225\r\n"
       "RedirectPeriod=5\r\nRedirectFormat=2\r\nRedirectAll=1\r\n",
       false, "[COMMON]\r\nPeriod=5\r\nRedirectAll=1\r\nFormat=2\r\n"},
      {"disabled", "RedirectEnable=0\r\nRedirectServer=host.example\r\nRedirectPort=2225\r\n",
       false, ""},
      {"folder already there",
       "RedirectEnable=1\r\nRedirectServer=host.example\r\nRedirectPort=2225\r\n", true, "kept"},
      {"server text leaving the folder",
       "RedirectEnable=1\r\nRedirectServer=../x\r\nRedirectPort=2225\r\n", false, ""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    TSettings s;
    s.DerivePaths(dir.path());
    ForceDirectories(s.RedirectDir);
    const std::string folder = s.RedirectDir + "host.example-2225";
    if (c.folderExists) WriteTree(folder + "/Settings.ini", "kept");
    WriteFile(s.ConfigFile, "[REDIRECT]\r\n" + c.keys);
    ASSERT_TRUE(ReadStartupSettings(s, [&](IniFile& ini) {
      MigrateRedirectSettings(ini, s.RedirectDir);
    })) << c.what;
    EXPECT_EQ(ReadFile(folder + "/Settings.ini"), c.settings) << c.what;
    EXPECT_EQ(IniFile(s.ConfigFile).ReadSectionValues("REDIRECT").size(), 0u) << c.what;
    EXPECT_FALSE(DirectoryExists(dir / "x-2225")) << c.what;
  }
}

}  // namespace
}  // namespace orbitrace::test
