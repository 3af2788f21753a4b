#include "registry/FileHeadCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace orbitrace {
namespace {

using test::FakeClock;
using test::ScratchDir;
using test::WriteFile;

std::string Text(const TFileHead& head) {
  return std::string(head.bytes.data(), head.size);
}

// The later of the file's change and write times, in milliseconds rounded up.
int64_t LatestTimeMillis(const std::string& path) {
  FileVersion v;
  EXPECT_TRUE(GetFileVersion(path, v));
  return (std::max(v.changeTimeNs, v.modifyTimeNs) + 999999) / 1000000;
}

// Whether `path` is answered while a writer holds it: only remembered bytes can be had then.
bool AnsweredWhileHeld(TFileHeadCache& cache, const std::string& path, TFileHead& head) {
  File writer;
  EXPECT_TRUE(writer.Open(path, Access::Write, Share::Read, Disposition::OpenExisting));
  return cache.Read(path, head) == FileHeadResult::Read;
}

// Whether a second read of `path` is answered from memory.
bool AnsweredFromMemory(TFileHeadCache& cache, const std::string& path) {
  TFileHead head;
  EXPECT_EQ(cache.Read(path, head), FileHeadResult::Read) << path;
  const std::string first = Text(head);
  if (!AnsweredWhileHeld(cache, path, head)) return false;
  EXPECT_EQ(Text(head), first) << path;
  return true;
}

TEST(FileHeadCacheTest, ReadsUpToSixteenBytesAndTellsWhyNot) {
  ScratchDir dir;
  WriteFile(dir / "long", "0123456789abcdefXYZ");
  WriteFile(dir / "short", "abc");
  WriteFile(dir / "empty", "");
  WriteFile(dir / "held", "abc");
  File writer;
  ASSERT_TRUE(writer.Open(dir / "held", Access::Write, Share::Read, Disposition::OpenExisting));
  const struct {
    std::string path;
    FileHeadResult result;
    std::string bytes;
  } cases[] = {
      {dir / "long", FileHeadResult::Read, "0123456789abcdef"},
      {dir / "short", FileHeadResult::Read, "abc"},
      {dir / "empty", FileHeadResult::Read, ""},
      {dir / "none", FileHeadResult::Missing, ""},
      {dir / "nofolder/none", FileHeadResult::Missing, ""},
      {dir / "held", FileHeadResult::Unreadable, ""},
      {dir / "short/none", FileHeadResult::Unreadable, ""},  // a file where a folder should be
      {dir.path(), FileHeadResult::Unreadable, ""},          // a folder
  };
  FakeClock clock;  // an hour after now: every file has settled
  clock.millis = SystemClock::Instance().UnixMillis() + 3600000;
  TFileHeadCache cache(clock);
  for (int pass = 0; pass < 2; ++pass) {  // the second pass is answered from memory
    for (const auto& c : cases) {
      TFileHead head;
      head.size = 99;
      EXPECT_EQ(cache.Read(c.path, head), c.result) << c.path;
      EXPECT_EQ(Text(head), c.bytes) << c.path;
      EXPECT_TRUE(std::all_of(head.bytes.begin() + static_cast<std::ptrdiff_t>(head.size),
                              head.bytes.end(), [](char b) { return b == '\0'; }))
          << c.path;
    }
  }

  // A changed file is read again.
  WriteFile(dir / "short", "abcd");
  TFileHead head;
  ASSERT_EQ(cache.Read(dir / "short", head), FileHeadResult::Read);
  EXPECT_EQ(Text(head), "abcd");
  WriteFile(dir / "short", "wxyz");  // same length, new write time
  ASSERT_TRUE(SetLastWriteMillis(dir / "short", clock.millis - 7100000));
  ASSERT_EQ(cache.Read(dir / "short", head), FileHeadResult::Read);
  EXPECT_EQ(Text(head), "wxyz");
  ASSERT_TRUE(DeleteFile(dir / "short"));
  EXPECT_EQ(cache.Read(dir / "short", head), FileHeadResult::Missing);
}

// Two rewrites of the same length within one step of the file times keep the version, so a read
// is remembered only once both times lie the settle time behind the clock.
TEST(FileHeadCacheTest, RemembersOnlyFilesWhoseTimesHaveSettled) {
  constexpr int64_t kHour = 3600000;
  constexpr int64_t kSettle = TFileHeadCache::kSettleMillis;
  const struct {
    const char* what;
    int64_t writeTimeFromNow;  // 0: as written
    bool realClock;
    int64_t clockAfterLatest;  // the fake clock, after the later of the two file times
    bool remembered;
  } cases[] = {
      {"just written", 0, true, 0, false},
      {"settled", 0, false, kSettle, true},
      {"a millisecond short of settled", 0, false, kSettle - 1, false},
      {"write time in the past, change time just now", -kHour, true, 0, false},
      {"write time in the future", kHour, false, kSettle - kHour / 2, false},
      {"write time in the future, settled", kHour, false, kSettle, true},
  };
  ScratchDir dir;
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = dir / std::to_string(++n);
    WriteFile(path, "position");
    if (c.writeTimeFromNow != 0) {
      ASSERT_TRUE(
          SetLastWriteMillis(path, SystemClock::Instance().UnixMillis() + c.writeTimeFromNow));
    }
    FakeClock fake;
    fake.millis = LatestTimeMillis(path) + c.clockAfterLatest;
    TFileHeadCache cache(c.realClock ? static_cast<const Clock&>(SystemClock::Instance()) : fake);
    EXPECT_EQ(AnsweredFromMemory(cache, path), c.remembered) << c.what;
  }
}

TEST(FileHeadCacheTest, ForgetsEverythingWhenFull) {
  ScratchDir dir;
  FakeClock clock;
  clock.millis = SystemClock::Instance().UnixMillis() + 3600000;
  TFileHeadCache cache(clock, TFileHeadCache::kSettleMillis, 2);
  for (const char* name : {"a", "b", "c"}) WriteFile(dir / name, name);
  TFileHead head;
  for (const char* name : {"a", "b", "b", "c"}) cache.Read(dir / name, head);
  EXPECT_TRUE(AnsweredWhileHeld(cache, dir / "c", head));
  EXPECT_FALSE(AnsweredWhileHeld(cache, dir / "a", head));
  EXPECT_FALSE(AnsweredWhileHeld(cache, dir / "b", head));
}

// Readers on several threads share one cache while a writer keeps replacing one of the files.
TEST(FileHeadCacheConcurrencyTest, ReadersShareTheCacheWhileAFileChanges) {
  ScratchDir dir;
  const std::vector<std::string> contents = {"one", "two", "three", "four"};
  for (const std::string& c : contents) WriteFile(dir / c, c);
  WriteFile(dir / "changing", "A");
  FakeClock clock;
  clock.millis = SystemClock::Instance().UnixMillis() + 3600000;
  TFileHeadCache cache(clock);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread writer([&] {
    for (size_t i = 0; !stop; ++i) {
      File f;
      if (f.Open(dir / "changing", Access::Write, Share::Read, Disposition::CreateAlways))
        f.Write(std::string(1 + i % 10, 'A'));
    }
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      TFileHead head;
      for (int round = 0; round < 300; ++round) {
        for (const std::string& c : contents) {
          if (cache.Read(dir / c, head) != FileHeadResult::Read || Text(head) != c) ++wrong;
        }
        // Never the emptied file between a rewrite's truncation and its write.
        if (cache.Read(dir / "changing", head) == FileHeadResult::Read &&
            (head.size == 0 || Text(head).find_first_not_of('A') != std::string::npos))
          ++wrong;
      }
    });
  }
  for (std::thread& r : readers) r.join();
  stop = true;
  writer.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace orbitrace
