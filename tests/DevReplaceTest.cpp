#include "registry/DevReplace.h"

#include <gtest/gtest.h>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"

namespace orbitrace::test {
namespace {

struct ReplaceRig {
  ReplaceRig() { settings.DerivePaths(dir.path()); }
  void WriteIni(const std::string& body) {
    WriteFile(dir / "DevReplace.ini", "[REPLACE]\r\n" + body);
  }
  ScratchDir dir;
  TSettings settings;
  TestMutex mutex{"repl"};
  TReplaceList list{settings, mutex.slot};
};

TEST(DevReplaceTest, LoadSkipsBadKeysAndWritesTheReport) {
  ReplaceRig rig;
  rig.WriteIni(
      "12345=23456\r\n123=456\r\n0=5\r\n-5=7\r\nabc=8\r\n777=0\r\n778=abc\r\n779=-1\r\n"
      "[OTHER]\r\n1=2\r\n");
  rig.list.LoadAtStart();
  const std::vector<TDevReplaceEntry> expected = {{123, 456}, {12345, 23456}};
  EXPECT_EQ(rig.list.Snapshot(), expected);
  EXPECT_EQ(ReadFile(rig.dir / "DevReplace.txt"), "From 00123 to 00456\r\nFrom 12345 to 23456\r\n");
  EXPECT_EQ(rig.list.GetReplacement(12345), 23456u);
  EXPECT_EQ(rig.list.GetReplacement(123), 456u);
  EXPECT_EQ(rig.list.GetReplacement(124), 124u);
  EXPECT_EQ(rig.list.GetReplacement(0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(DevReplaceTest, EqualKeysKeepTheExchangeSortOrder) {
  ReplaceRig rig;
  // The exchange sort moves the second 12345 line ahead of the first one; a stable sort would
  // not.
  rig.WriteIni("50000=9\r\n12345=1\r\n012345=2\r\n100=5\r\n");
  rig.list.LoadAtStart();
  const std::vector<TDevReplaceEntry> expected = {{100, 5}, {12345, 2}, {12345, 1}, {50000, 9}};
  EXPECT_EQ(rig.list.Snapshot(), expected);
  EXPECT_EQ(rig.list.GetReplacement(12345), 2u);
  EXPECT_EQ(ReadFile(rig.dir / "DevReplace.txt"),
            "From 00100 to 00005\r\nFrom 12345 to 00002\r\nFrom 12345 to 00001\r\n"
            "From 50000 to 00009\r\n");

  // A replacement is applied once, not followed through a chain.
  rig.WriteIni("111=222\r\n222=333\r\n");
  rig.list.UpdateReplaceList();
  EXPECT_EQ(rig.list.GetReplacement(111), 222u);
}

TEST(DevReplaceTest, EmptyOrMissingIniEmptiesTheListButKeepsTheReport) {
  ReplaceRig rig;
  rig.WriteIni("12345=23456\r\n");
  rig.list.UpdateReplaceList();
  const std::string report = ReadFile(rig.dir / "DevReplace.txt");
  rig.WriteIni("");
  rig.list.UpdateReplaceList();
  EXPECT_TRUE(rig.list.Snapshot().empty());
  DeleteFile(rig.dir / "DevReplace.ini");
  rig.list.UpdateReplaceList();
  EXPECT_EQ(rig.list.GetReplacement(12345), 12345u);
  EXPECT_EQ(ReadFile(rig.dir / "DevReplace.txt"), report);

  rig.WriteIni("12345=23456\r\n");
  rig.list.UpdateReplaceList();
  rig.list.ClearReplaceList();
  EXPECT_EQ(rig.list.GetReplacement(12345), 12345u);
}

}  // namespace
}  // namespace orbitrace::test
