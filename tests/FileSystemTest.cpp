#include "platform/FileSystem.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace orbitrace {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

TEST(FileSystemTest, SharingModesConflictLikeExclusiveOpens) {
  ScratchDir dir;
  const std::string path = dir / "f";
  WriteFile(path, "data");
  struct Mode {
    Access access;
    Share share;
  };
  const Mode writerSharingRead{Access::Write, Share::Read};
  const Mode readerSharingRead{Access::Read, Share::Read};
  const Mode readerSharingAll{Access::Read, Share::ReadWrite};
  const Mode writerSharingAll{Access::Write, Share::ReadWrite};
  struct Case {
    Mode first, second;
    bool secondOpens;
  } cases[] = {
      {writerSharingRead, readerSharingAll, true},    // readers that share writing get in
      {writerSharingRead, readerSharingRead, false},  // a reader refusing writers does not
      {writerSharingRead, writerSharingRead, false},  // two exclusive writers
      {readerSharingRead, readerSharingRead, true},   // readers together
      {readerSharingRead, writerSharingRead, false},  // a writer while a reader refuses writers
      {writerSharingAll, writerSharingAll, true},     // the log writer's mode locks nothing
  };
  for (const Case& c : cases) {
    File a, b;
    ASSERT_TRUE(a.Open(path, c.first.access, c.first.share, Disposition::OpenExisting));
    EXPECT_EQ(b.Open(path, c.second.access, c.second.share, Disposition::OpenExisting),
              c.secondOpens);
  }
}

TEST(FileSystemTest, ReadOnlyAttributeRefusesWritersUntilCleared) {
  ScratchDir dir;
  const std::string path = dir / "f";
  WriteFile(path, "keep");
  ASSERT_TRUE(SetReadOnly(path, true));
  EXPECT_TRUE(IsReadOnly(path));
  File f;
  EXPECT_FALSE(f.Open(path, Access::Write, Share::Read, Disposition::CreateAlways));
  EXPECT_EQ(ReadFile(path), "keep");
  EXPECT_TRUE(f.Open(path, Access::Read, Share::Read, Disposition::OpenExisting));
  f.Close();
  ASSERT_TRUE(SetReadOnly(path, false));
  ASSERT_TRUE(f.Open(path, Access::Write, Share::Read, Disposition::CreateAlways));
  EXPECT_TRUE(f.Write("new"));
  f.Close();
  EXPECT_EQ(ReadFile(path), "new");
}

TEST(FileSystemTest, CreateAlwaysDoesNotTruncateALockedFile) {
  ScratchDir dir;
  const std::string path = dir / "f";
  WriteFile(path, "locked");
  File holder, other;
  ASSERT_TRUE(holder.Open(path, Access::Read, Share::Read, Disposition::OpenExisting));
  EXPECT_FALSE(other.Open(path, Access::Write, Share::Read, Disposition::CreateAlways));
  EXPECT_EQ(ReadFile(path), "locked");
}

// Only the write time is set; the change time becomes the current time, as it cannot be set.
TEST(FileSystemTest, SetLastWriteMillisLeavesTheChangeTimeCurrent) {
  ScratchDir dir;
  const std::string path = dir / "f";
  WriteFile(path, "data");
  FileVersion before, after;
  ASSERT_TRUE(GetFileVersion(path, before));
  for (const int64_t millis : {int64_t{1234567890123}, int64_t{-1500}}) {
    ASSERT_TRUE(SetLastWriteMillis(path, millis));
    ASSERT_TRUE(GetFileVersion(path, after));
    EXPECT_EQ(after.modifyTimeNs, millis * 1000000);
    EXPECT_GE(after.changeTimeNs, before.changeTimeNs);
  }
  EXPECT_FALSE(SetLastWriteMillis(dir / "none", 0));
}

TEST(FileSystemTest, PathHelpers) {
  EXPECT_EQ(ExcludeTrailingSlashes("/a/b///"), "/a/b");
  EXPECT_EQ(ExcludeTrailingSlashes("/"), "/");
  EXPECT_EQ(ExtractFileDir("/srv/app/orbitrace-server"), "/srv/app");
  EXPECT_EQ(ExtractFileDir("/x"), "/");
  EXPECT_EQ(ExtractFileName("/srv/app/x.log"), "x.log");
  EXPECT_EQ(JoinPath("/a/", "b"), "/a/b");
  EXPECT_TRUE(EqualsNoCase("DBF", "dbf"));
  EXPECT_FALSE(EqualsNoCase("dbf", "dbx"));
}

}  // namespace
}  // namespace orbitrace
