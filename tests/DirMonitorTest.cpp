#include "registry/DirMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"

namespace orbitrace::test {
namespace {

namespace fs = std::filesystem;

// A main loop on a thread of its own, a rescan timer with a short interval that counts the
// rescans it runs, and a monitor over a scratch program folder, wired as the service wires
// them. The Redirect folder is missing, as on a fresh installation.
struct MonitorRig {
  explicit MonitorRig(uint32_t timerMs = 800)
      : timer(
            loop, timerMs, [this] { OnTimer(); }, false) {
    settings.DerivePaths(dir.path());
    ForceDirectories(settings.DBFDir);
    ForceDirectories(settings.PasswordsDir);
    loopThread = std::thread([this] { loop.Run(); });
    EXPECT_TRUE(WaitUntil([&] { return loop.Running(); }, 5000));
  }
  ~MonitorRig() {
    if (monitor) monitor->Stop();
    loop.Quit();
    loopThread.join();
  }

  void Start(TDirMonitor::Handlers extra = {}) {
    extra.requestRescan = [this](uint32_t bit) {
      pending |= bit;
      timer.Restart();
    };
    monitor = std::make_unique<TDirMonitor>(loop, settings, false, std::move(extra));
    monitor->Resume();
  }

  void OnTimer() {
    timer.SetEnabled(false);
    const uint32_t bits = pending.exchange(0);
    if (bits & 1) ++deviceRescans;
    if (bits & 4) ++passwordRescans;
  }

  ScratchDir dir;
  TSettings settings;
  MainLoop loop;
  Timer timer;
  std::thread loopThread;
  std::atomic<uint32_t> pending{0};
  std::atomic<int> deviceRescans{0};
  std::atomic<int> passwordRescans{0};
  std::unique_ptr<TDirMonitor> monitor;
};

TEST(DirMonitorConcurrencyTest, BurstOfChangesGivesOneRescan) {
  MonitorRig rig;
  rig.Start();
  EXPECT_TRUE(rig.monitor->SlotWatched(TDirMonitor::kSlotDBF));
  EXPECT_TRUE(rig.monitor->SlotWatched(TDirMonitor::kSlotProgram));
  EXPECT_TRUE(rig.monitor->SlotWatched(TDirMonitor::kSlotPasswords));
  EXPECT_FALSE(rig.monitor->SlotWatched(TDirMonitor::kSlotRedirect));

  const std::string dbf = rig.settings.DBFDir;
  WriteTree(dbf + "a.dbf", "1");
  WriteTree(dbf + "sub/b.atg", "2");
  fs::rename(dbf + "a.dbf", dbf + "c.dbf");
  WriteTree(dbf + "c.dbf", "3");  // saved in place
  fs::permissions(dbf + "sub/b.atg", fs::perms::owner_write, fs::perm_options::remove);
  ASSERT_TRUE(WaitUntil([&] { return rig.deviceRescans.load() == 1; }, 10000));
  // Two timer intervals later there has been no second rescan.
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  EXPECT_EQ(rig.deviceRescans, 1);
  EXPECT_EQ(rig.passwordRescans, 0);

  // A folder created while the monitor runs is watched as well, and so is the Passwords tree.
  WriteTree(dbf + "sub/deeper/d.atg", "4");
  ASSERT_TRUE(WaitUntil([&] { return rig.deviceRescans.load() == 2; }, 10000));
  WriteTree(dbf + "sub/deeper/d.atg", "5");
  ASSERT_TRUE(WaitUntil([&] { return rig.deviceRescans.load() == 3; }, 10000));
  WriteTree(rig.settings.PasswordsDir + "x/12345.psw", "pw");
  ASSERT_TRUE(WaitUntil([&] { return rig.passwordRescans.load() == 1; }, 10000));
}

TEST(DirMonitorConcurrencyTest, SettingsAndReplacementFilesAreHandledAtOnce) {
  MonitorRig rig;
  const std::string config = rig.settings.ConfigFile;
  const std::string replace = rig.dir / "DevReplace.ini";
  // Both files exist with an old time when the monitor starts.
  for (const std::string& f : {config, replace}) {
    WriteFile(f, "[X]\r\n");
    fs::last_write_time(f, fs::file_time_type::clock::now() - std::chrono::hours(24));
  }
  std::atomic<int> reloads{0};
  std::atomic<int> replaceUpdates{0};
  std::mutex errorsMu;
  std::vector<std::string> errors;
  TDirMonitor::Handlers h;
  h.reloadSettings = [&] {
    ++reloads;
    throw std::runtime_error("cannot write");
  };
  h.updateReplaceList = [&] { ++replaceUpdates; };
  h.reportError = [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(errorsMu);
    errors.push_back(text);
  };
  rig.Start(std::move(h));

  // Saved in place: no attribute changes, only a newer last-write time.
  WriteFile(config, "[LOG]\r\nLogLevel=1\r\n");
  ASSERT_TRUE(WaitUntil([&] { return reloads.load() == 1; }, 10000));
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(errorsMu);
        return !errors.empty();
      },
      10000));
  {
    std::lock_guard<std::mutex> lock(errorsMu);
    EXPECT_EQ(errors[0], "Исключение в TDirMonitor::Execute.cannot write");
  }

  // The monitor goes on after the failed reload. Replacement files are put in place whole, so
  // that each step is one change.
  ScratchDir elsewhere;
  auto putReplace = [&](const std::string& content) {
    WriteFile(elsewhere / "r.ini", content);
    fs::rename(elsewhere / "r.ini", replace);
  };
  putReplace("[REPLACE]\r\n1=2\r\n");
  ASSERT_TRUE(WaitUntil([&] { return replaceUpdates.load() == 1; }, 10000));
  DeleteFile(replace);
  ASSERT_TRUE(WaitUntil([&] { return replaceUpdates.load() == 2; }, 10000));
  putReplace("[REPLACE]\r\n");
  ASSERT_TRUE(WaitUntil([&] { return replaceUpdates.load() == 3; }, 10000));
  EXPECT_EQ(reloads, 1);
  // Files in the program folder never ask for a rescan of the lists.
  EXPECT_EQ(rig.pending, 0u);
  EXPECT_EQ(rig.deviceRescans, 0);
}

}  // namespace
}  // namespace orbitrace::test
