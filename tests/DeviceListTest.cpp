#include "registry/DeviceList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"

namespace orbitrace::test {
namespace {

// A device list over a scratch program folder, built the way the service builds its own.
struct DeviceListRig {
  DeviceListRig() {
    settings.DerivePaths(dir.path());
    ForceDirectories(settings.DBFDir);
  }
  ScratchDir dir;
  TSettings settings;
  TestJournal journal{dir};
  TestMutex listMutex{"list"};
  TestMutex updateMutex{"update"};
  bool busy = false;
  std::atomic<int> retries{0};
  TDeviceList list{settings,        listMutex.slot, updateMutex.slot,
                   journal.journal, busy,           [this] { ++retries; }};

  void AddSources() {
    DbfTable t;
    t.records = {t.Record({"123", "a"}), t.Record({"45678", "b"})};
    WriteTree(settings.DBFDir + "base.dbf", t.Build());
    WriteTree(settings.DBFDir + "more/list.atg", "1234567: PASSWORD=c;\n45678: PASSWORD=d;\n");
  }
};

// Holds a named mutex on a thread of its own (the mutexes are recursive, so the test thread
// could always take them itself) until released.
class ForeignHolder {
 public:
  explicit ForeignHolder(const std::string& name) {
    thread_ = std::thread([this, name] {
      auto m = NamedMutex::Create(name);
      ASSERT_EQ(m->Wait(1000), WaitResult::Acquired);
      held_ = true;
      while (!release_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      m->Release();
    });
    EXPECT_TRUE(WaitUntil([&] { return held_.load(); }, 5000));
  }
  ~ForeignHolder() {
    release_ = true;
    thread_.join();
  }

 private:
  std::thread thread_;
  std::atomic<bool> held_{false};
  std::atomic<bool> release_{false};
};

const std::vector<std::string> kUpdateJournal = {"Обновление списка приборов.",
                                                 "Обновление списка приборов завершено."};

TEST(DeviceListTest, UpdateWritesDevicesFileAndServesTheNewList) {
  DeviceListRig rig;
  rig.AddSources();
  // A read-only report left by an operator is overwritten.
  WriteFile(rig.dir / "Devices.txt", "old");
  SetReadOnly(rig.dir / "Devices.txt", true);
  EXPECT_FALSE(rig.list.IsDeviceServed(123));

  rig.list.UpdateDeviceList();
  EXPECT_EQ(ReadFile(rig.dir / "Devices.txt"), "00123\r\n45678\r\n1234567\r\n");
  EXPECT_EQ(rig.journal.Lines(), kUpdateJournal);
  EXPECT_FALSE(rig.busy);
  for (uint32_t s : {123u, 45678u, 1234567u}) EXPECT_TRUE(rig.list.IsDeviceServed(s)) << s;
  for (uint32_t s : {0u, 122u, 124u, 9999999u}) EXPECT_FALSE(rig.list.IsDeviceServed(s)) << s;
  EXPECT_EQ(rig.list.Snapshot().size(), 3u);

  // Sources gone: an empty list and an empty report.
  std::filesystem::remove_all(rig.settings.DBFDir);
  rig.list.UpdateDeviceList();
  EXPECT_EQ(ReadFile(rig.dir / "Devices.txt"), "");
  EXPECT_FALSE(rig.list.IsDeviceServed(123));
  EXPECT_EQ(rig.retries, 0);
}

TEST(DeviceListConcurrencyTest, LockedListKeepsTheOldListAndAsksForARetry) {
  DeviceListRig rig;
  rig.list.UpdateDeviceList();  // empty list in place
  rig.AddSources();
  {
    ForeignHolder holder(rig.listMutex.name());
    rig.list.UpdateDeviceList();
  }
  EXPECT_EQ(rig.retries, 1);
  // The report already shows the new scan; lookups still answer from the old list.
  EXPECT_EQ(ReadFile(rig.dir / "Devices.txt"), "00123\r\n45678\r\n1234567\r\n");
  EXPECT_FALSE(rig.list.IsDeviceServed(123));
  const std::vector<std::string> expected = {
      "Обновление списка приборов.", "Обновление списка приборов завершено.",
      "Обновление списка приборов.", "Список приборов заблокирован. Обновление отменено",
      "Обновление списка приборов завершено."};
  EXPECT_EQ(rig.journal.Lines(), expected);
}

TEST(DeviceListConcurrencyTest, UpdateHeldElsewhereIsSkipped) {
  DeviceListRig rig;
  rig.AddSources();
  {
    ForeignHolder holder(rig.updateMutex.name());
    rig.list.UpdateDeviceList();
  }
  const std::vector<std::string> expected = {"Обновление списка приборов.",
                                             "Обновление уже выполняется.",
                                             "Обновление списка приборов завершено."};
  EXPECT_EQ(rig.journal.Lines(), expected);
  EXPECT_FALSE(FileExists(rig.dir / "Devices.txt"));
  EXPECT_FALSE(rig.busy);
  EXPECT_EQ(rig.retries, 0);
}

TEST(DeviceListConcurrencyTest, LookupsDuringRebuildsSeeWholeLists) {
  DeviceListRig rig;
  rig.AddSources();
  rig.list.UpdateDeviceList();
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  auto reader = [&] {
    while (!stop) {
      // 123 is in every list; 124 never is.
      if (!rig.list.IsDeviceServed(123) || rig.list.IsDeviceServed(124)) ++wrong;
    }
  };
  std::thread a(reader);
  std::thread b(reader);
  for (int i = 0; i < 20; ++i) {
    WriteTree(rig.settings.DBFDir + "extra.atg", std::to_string(20000 + i) + ": PASSWORD=x;\n");
    rig.list.UpdateDeviceList();
    EXPECT_TRUE(rig.list.IsDeviceServed(static_cast<uint32_t>(20000 + i)));
  }
  stop = true;
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  rig.list.Clear();
  EXPECT_FALSE(rig.list.IsDeviceServed(123));
}

}  // namespace
}  // namespace orbitrace::test
