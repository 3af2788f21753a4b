#include "logging/Debug.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "logging/Journal.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace orbitrace {
namespace {

using test::FakeClock;
using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

class DebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings.SetLogFolder(dir.path() + "/");
    settings.enableLogSplit = 0;
    clock.SetLocal(2010, 9, 8, 14, 5, 9);
  }
  std::string Channel(const char* name) { return Cp1251ToUtf8(ReadFile(dir / name)); }

  ScratchDir dir;
  LogSettings settings;
  FakeClock clock;
};

TEST_F(DebugTest, LineFormatsDependOnLogLevel) {
  TDebugWriter writer(settings, clock);
  writer.CreateLogMutexes();
  settings.logLevel = 1;
  writer.AddDispRecord(4242, "Клиент 1.2.3.4:5 подключен", kLevelINF);
  writer.AddWiFiRecord(77, 0, kLevelDVL, "text");
  settings.logLevel = 2;
  writer.AddDispRecord(4242, "plain", kLevelERR);
  writer.AddWiFiRecord(77, 123456, kLevelALW, "dev");
  EXPECT_TRUE(writer.FlushPass());
  EXPECT_EQ(Channel("DispLog.log"),
            "[08.09.2010 14:05:09] [INF]\tИД:   4242\tКлиент 1.2.3.4:5 подключен\r\n"
            "[08.09.2010 14:05:09] [ERR]\tplain\r\n");
  EXPECT_EQ(Channel("WiFiLog.log"),
            "[08.09.2010 14:05:09] [DVL]\tИД:     77\tПрибор:      0\ttext\r\n"
            "[08.09.2010 14:05:09] [ALW]\tПрибор: 123456\tdev\r\n");
  // The file holds CP1251 bytes: "И" is 0xC8.
  EXPECT_EQ(ReadFile(dir / "DispLog.log")[28], '\xC8');
  EXPECT_FALSE(writer.FlushPass());
  EXPECT_FALSE(FileExists(dir / "DeviceLog.log"));
}

TEST_F(DebugTest, LevelAndSwitchFilter) {
  struct Case {
    bool writeLog;
    bool channelOn;
    int32_t logLevel;
    int level;
    bool written;
  } cases[] = {
      {true, true, 3, kLevelDVL, false},  {true, true, 3, kLevelINF, false},
      {true, true, 3, kLevelERR, true},   {true, true, 3, kLevelALW, true},
      {true, true, 0, kLevelDVL, true},   {false, true, 0, kLevelERR, false},
      {true, false, 0, kLevelERR, false}, {false, false, 9, kLevelALW, true},
  };
  for (const Case& c : cases) {
    ScratchDir out;
    settings.SetLogFolder(out.path() + "/");
    settings.writeLog = c.writeLog;
    settings.logLevel = c.logLevel;
    TDebugWriter writer(settings, clock);  // sets the channel switches on
    settings.writeDispatcherLog = c.channelOn;
    writer.CreateLogMutexes();
    writer.AddDispRecord(1, "x", c.level);
    writer.FlushPass();
    EXPECT_EQ(FileExists(out / "DispLog.log"), c.written)
        << c.writeLog << c.channelOn << c.logLevel << c.level;
  }
}

TEST_F(DebugTest, RecordsBeforeTheMutexesExistAreDropped) {
  TDebugWriter writer(settings, clock);
  writer.AddDispRecord(1, "lost", kLevelALW);
  writer.CreateLogMutexes();
  EXPECT_FALSE(writer.FlushPass());
}

TEST_F(DebugTest, DeletedChannelFileIsCreatedAgain) {
  settings.logLevel = 2;
  TDebugWriter writer(settings, clock);
  writer.CreateLogMutexes();
  writer.AddDispRecord(1, "one", kLevelALW);
  writer.FlushPass();
  ASSERT_TRUE(DeleteFile(dir / "DispLog.log"));
  writer.AddDispRecord(1, "two", kLevelALW);
  writer.FlushPass();
  EXPECT_EQ(Channel("DispLog.log"), "[08.09.2010 14:05:09] [ALW]\ttwo\r\n");
}

TEST_F(DebugTest, LogFileNameForEverySplitMode) {
  struct Case {
    int32_t enable, splitTime;
    const char* name;
  } cases[] = {
      {0, 2, "DispLog.log"},        {1, 1, "DispLog_100908.log"}, {1, 2, "DispLog_100906.log"},
      {1, 3, "DispLog_100901.log"}, {1, 5, "DispLog_100908.log"}, {-1, 0, "DispLog_100908.log"},
  };
  const LocalDateTime now = clock.Now();  // Wednesday 8 September 2010
  for (const Case& c : cases) {
    settings.enableLogSplit = c.enable;
    settings.logSplitTime = c.splitTime;
    EXPECT_EQ(LogFileName(settings, "DispLog", now), dir.path() + "/" + c.name);
  }
}

TEST_F(DebugTest, RetentionDeletesOldDatedFilesHourly) {
  settings.enableLogSplit = 1;
  settings.logStorageTime = 30;
  for (const char* f : {"DispLog_100908.log", "DispLog_100909.log", "Other_100101.log",
                        "Orbitraceserver.log", "DispLog.log", "Report_1309.log", "Bad_101340.log",
                        ".hidden_100101.log", "Old_100101.txt"}) {
    WriteFile(dir / f, "x");
  }
  TLogRetention retention(settings, clock);
  clock.SetLocal(2010, 10, 8, 0, 0, 1);  // just over 30 days after 8 September
  clock.tick = 3600000;                  // not more than an hour since tick 0: nothing yet
  EXPECT_TRUE(retention.ManageLogFiles());
  EXPECT_TRUE(FileExists(dir / "DispLog_100908.log"));

  clock.tick = 3600001;
  EXPECT_TRUE(retention.ManageLogFiles());
  EXPECT_FALSE(FileExists(dir / "DispLog_100908.log"));
  EXPECT_FALSE(FileExists(dir / "Other_100101.log"));
  for (const char* kept :
       {"DispLog_100909.log", "Orbitraceserver.log", "DispLog.log", "Report_1309.log",
        "Bad_101340.log", ".hidden_100101.log", "Old_100101.txt"}) {
    EXPECT_TRUE(FileExists(dir / kept)) << kept;
  }

  // Within the hour nothing runs again, even across a wrap of the tick counter.
  clock.SetLocal(2010, 12, 1);
  clock.tick = 0xFFFFFFF0u;
  retention.ManageLogFiles();  // runs: far more than an hour after 3600001
  EXPECT_FALSE(FileExists(dir / "DispLog_100909.log"));
  WriteFile(dir / "DispLog_100910.log", "x");
  clock.tick = 1000;  // wrapped, ~1 s later
  retention.ManageLogFiles();
  EXPECT_TRUE(FileExists(dir / "DispLog_100910.log"));

  settings.enableLogSplit = 0;
  EXPECT_FALSE(retention.ManageLogFiles());  // tells the caller to stop the timer
}

TEST_F(DebugTest, JournalLinesAndLostMessages) {
  const std::string path = dir / "Orbitraceserver.log";
  TJournal journal(clock);
  journal.SetFile(path);
  journal.WriteJournal("lost: no mutex yet");
  EXPECT_FALSE(FileExists(path));

  NamedMutex::Remove("JournalTestMutex");
  auto mutex = NamedMutex::Create("JournalTestMutex");
  ASSERT_TRUE(mutex);
  journal.SetMutex(mutex.get());
  settings.writeLog = false;  // the journal has no switches
  journal.WriteJournal("Служба запущена");
  journal.WriteJournal("Диспетчерский модуль запущен");
  {
    // Another program holding the file without write sharing: the line is lost.
    File holder;
    ASSERT_TRUE(holder.Open(path, Access::Read, Share::Read, Disposition::OpenExisting));
    journal.WriteJournal("lost: file locked");
  }
  EXPECT_EQ(Cp1251ToUtf8(ReadFile(path)),
            "[08.09.2010 14:05:09] Служба запущена\r\n"
            "[08.09.2010 14:05:09] Диспетчерский модуль запущен\r\n");
  NamedMutex::Remove("JournalTestMutex");
}

}  // namespace
}  // namespace orbitrace
