#include "registry/DirMonitor.h"

#include <exception>
#include <optional>
#include <vector>

#include "platform/FileSystem.h"
#include "registry/Layout.h"

namespace orbitrace {

namespace {

// What the folder slots report: names, attributes and saves in place.
constexpr uint32_t kFolderFilter = kWatchNames | kWatchAttributes | kWatchWrites;

constexpr uint32_t kSlotBits[TDirMonitor::kSlotCount] = {1, 0, 4, 8, 2};

}  // namespace

TDirMonitor::TDirMonitor(MainLoop& loop, const TSettings& settings, bool watchDispatcher,
                         Handlers handlers)
    : loop_(loop), settings_(settings), handlers_(std::move(handlers)) {
  watches_[kSlotDBF].Open(settings.DBFDir, true, kFolderFilter);
  // The program folder's own entries only: the settings and replacement files are looked at
  // whenever any of them changes, is saved in place, appears or goes.
  watches_[kSlotProgram].Open(settings.ProgramDir.empty() ? "/" : settings.ProgramDir, false,
                              kFolderFilter);
  watches_[kSlotPasswords].Open(settings.PasswordsDir, true, kFolderFilter);
  watches_[kSlotRedirect].Open(settings.RedirectDir, true, kFolderFilter);
  if (watchDispatcher) watches_[kSlotDispatcher].Open(settings.DispatcherDir, true, kFolderFilter);
  // The file times are taken together with the watches, so that a change made before the
  // thread gets to run is still noticed.
  settingsTime_ = FileTime(settings.ConfigFile);
  replaceTime_ = FileTime(settings.ProgramDir + "/" + kDevReplaceIniFile);
}

TDirMonitor::~TDirMonitor() {
  Stop();
}

void TDirMonitor::Stop() {
  if (stopped_) return;
  stopped_ = true;
  Terminate();
  wake_.Signal();
  WaitFor();
  for (DirWatch& w : watches_) w.Close();
}

int64_t TDirMonitor::FileTime(const std::string& path) const {
  File f;
  if (!f.Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting)) return 0;
  return f.LastWriteMillis();
}

void TDirMonitor::RunOnMain(const std::function<void()>& fn) {
  if (!fn) return;
  std::optional<std::string> error;
  loop_.Send([&] {
    try {
      fn();
    } catch (const std::exception& e) {
      error = e.what();
    }
  });
  if (error && handlers_.reportError) {
    handlers_.reportError("Исключение в TDirMonitor::Execute." + *error);
  }
}

void TDirMonitor::HandleSlot(size_t slot) {
  if (slot != kSlotProgram) {
    const uint32_t bit = kSlotBits[slot];
    RunOnMain([this, bit] {
      if (handlers_.requestRescan) handlers_.requestRescan(bit);
    });
    return;
  }
  const int64_t settingsNow = FileTime(settings_.ConfigFile);
  if (settingsTime_ != 0 && settingsNow > settingsTime_) {
    settingsTime_ = settingsNow;
    RunOnMain(handlers_.reloadSettings);
  }
  const int64_t replaceNow = FileTime(settings_.ProgramDir + "/" + kDevReplaceIniFile);
  if (replaceNow > replaceTime_) {
    replaceTime_ = replaceNow;
    RunOnMain(handlers_.updateReplaceList);
  }
  if (replaceTime_ != 0 && replaceNow == 0) {
    replaceTime_ = 0;
    RunOnMain(handlers_.updateReplaceList);
  }
}

void TDirMonitor::Execute() {
  try {
    std::vector<DirWatch*> watches;
    for (DirWatch& w : watches_) watches.push_back(&w);
    std::vector<size_t> ready;
    while (!Terminated()) {
      if (ChangeWaiter::Wait(watches, wake_, ready) != ChangeWait::Changed) return;
      for (size_t slot : ready) {
        if (Terminated()) return;
        if (watches_[slot].ReadChanges()) HandleSlot(slot);
      }
    }
  } catch (const std::exception& e) {
    if (handlers_.reportError)
      handlers_.reportError(std::string("Исключение в TDirMonitor::Execute.") + e.what());
  }
}

}  // namespace orbitrace
