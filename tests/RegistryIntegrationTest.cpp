#include <gtest/gtest.h>
#include <signal.h>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace orbitrace::test {
namespace {

// The lists are first built by the rescan timer ten seconds after start.
TEST(RegistryIntegrationTest, ListsAreBuiltAfterStartAndFollowChanges) {
  ScratchDir dir;
  DbfTable t;
  t.records = {t.Record({"4567", "a"}), t.Record({"123", "b"})};
  WriteTree(dir / "DBF/devices.dbf", t.Build());
  WriteTree(dir / "DBF/sub/list.atg", "1234567: PASSWORD=c;\r\n");
  WriteTree(dir / "Passwords/12345.psw", "abc");
  WriteFile(dir / "DevReplace.ini", "[REPLACE]\r\n12345=23456\r\n");
  WriteFile(dir / "DispPasswords.txt", "stale");

  ServerProcess server;
  server.Start(dir.path());
  // The replacement list is loaded during the start.
  ASSERT_TRUE(WaitUntil([&] { return FileExists(dir / "DevReplace.txt"); }, 10000))
      << ReadFile(dir / "server.out");
  EXPECT_EQ(ReadFile(dir / "DevReplace.txt"), "From 12345 to 23456\r\n");

  const std::string journal = dir / "Logs/Orbitraceserver.log";
  ASSERT_TRUE(WaitUntil(
      [&] {
        return Cp1251ToUtf8(ReadFile(journal)).find("Обновление списка приборов завершено.") !=
                   std::string::npos &&
               ReadFile(dir / "DispPasswords.txt") != "stale" &&
               FileExists(dir / "DispPasswords.txt");
      },
      25000))
      << ReadFile(dir / "server.out");
  EXPECT_EQ(ReadFile(dir / "Devices.txt"), "00123\r\n04567\r\n1234567\r\n");
  EXPECT_EQ(ReadFile(dir / "DispPasswords.txt"), "Dev count: 1\r\n  12345\tabc     \r\n");

  // A save in place of DevReplace.ini is acted on at once.
  WriteFile(dir / "DevReplace.ini", "[REPLACE]\r\n111=222\r\n");
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadFile(dir / "DevReplace.txt") == "From 00111 to 00222\r\n"; }, 5000));

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(5000), 0) << ReadFile(dir / "server.out");
}

}  // namespace
}  // namespace orbitrace::test
