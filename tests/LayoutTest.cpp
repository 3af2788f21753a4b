#include "registry/Layout.h"

#include <gtest/gtest.h>

#include "RegistryFixtures.h"

namespace orbitrace::test {
namespace {

TEST(LayoutTest, DeviceFolderAndFileNames) {
  EXPECT_EQ(DeviceFolder("/srv/Data", 5), "/srv/Data/0000005");
  EXPECT_EQ(DeviceFolder("/srv/Data", 9999999), "/srv/Data/9999999");
  EXPECT_EQ(DeviceFolder("/srv/Data//", 5), "/srv/Data/0000005");
  // No path for a serial out of range or an empty data folder (never the file-system root).
  EXPECT_EQ(DeviceFolder("/srv/Data", 0), "");
  EXPECT_EQ(DeviceFolder("/srv/Data", 10000000), "");
  EXPECT_EQ(DeviceFolder("", 5), "");
  EXPECT_EQ(DeviceFilePath("/srv/Data", 0, Date{2010, 9, 6}, "bin"), "");
  EXPECT_EQ(DeviceFilePath("/d", 12345, Date{2010, 9, 6}, "sbin"),
            "/d/0012345/0012345-100906.sbin");
  EXPECT_EQ(DeviceFileName(7, Date{2001, 12, 31}, "route"), "0000007-011231.route");
  FakeClock clock;
  clock.SetLocal(2021, 1, 1, 12);  // a Friday
  EXPECT_EQ(MondayOf(clock.Now()), (Date{2020, 12, 28}));
}

TEST(LayoutTest, ListFilesAreRewrittenAndStaleOnesDeleted) {
  ScratchDir dir;
  const std::string path = dir / "Devices.txt";
  WriteFile(path, "an older and longer content");
  SetReadOnly(path, true);
  TListFileWriter out;
  ASSERT_TRUE(out.Open(path));
  out.WriteLine("00001\r\n");
  out.WriteLine("00002\r\n");
  out.Close();
  EXPECT_EQ(ReadFile(path), "00001\r\n00002\r\n");

  for (const char* name : {"DevReplace.txt", "Dispatcher.txt", "DispPasswords.txt", "Redirect.txt",
                           "DevReplace.ini"}) {
    WriteFile(dir / name, "x");
  }
  DeleteStaleListFiles(dir.path());
  for (const char* name :
       {"Devices.txt", "DevReplace.txt", "Dispatcher.txt", "DispPasswords.txt", "Redirect.txt"}) {
    EXPECT_FALSE(FileExists(dir / name)) << name;
  }
  EXPECT_TRUE(FileExists(dir / "DevReplace.ini"));
}

}  // namespace
}  // namespace orbitrace::test
