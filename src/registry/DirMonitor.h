// The directory monitor: a thread that waits for changes in the operator's folders and files
// and hands every reaction to the main thread by a synchronous call. Folder changes only ask
// for a rescan (the owner's rescan timer runs it once a burst of changes is over); a newer
// OrbitraceServer.ini or a changed, new or vanished DevReplace.ini is acted on at once.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/DirWatch.h"
#include "platform/MainLoop.h"
#include "platform/Thread.h"
#include "service/Settings.h"

namespace orbitrace {

class TDirMonitor : public TThread {
 public:
  // Watched places, in slot order.
  enum Slot : size_t {
    kSlotDBF,         // DBFDir with subfolders: rescan bit 1
    kSlotProgram,     // the program folder itself: settings and replacement file times
    kSlotPasswords,   // PasswordsDir with subfolders: rescan bit 4
    kSlotRedirect,    // RedirectDir with subfolders: rescan bit 8
    kSlotDispatcher,  // DispatcherDir with subfolders, only with billing on: rescan bit 2
    kSlotCount
  };

  struct Handlers {
    // Main thread: record the rescan request `bit` and restart the rescan timer.
    std::function<void(uint32_t bit)> requestRescan;
    // Main thread: re-read the logging settings.
    std::function<void()> reloadSettings;
    // Main thread: reload the replacement list.
    std::function<void()> updateReplaceList;
    // Monitor thread: an exception raised by a handler or by the monitor itself, as the text
    // to log.
    std::function<void(const std::string& text)> reportError;
  };

  // Sets up the watches of the folders in `settings` (the dispatcher folder only when
  // `watchDispatcher`). A folder that cannot be watched leaves its slot empty; the other slots
  // are watched all the same. The thread is created suspended; Resume starts it.
  TDirMonitor(MainLoop& loop, const TSettings& settings, bool watchDispatcher, Handlers handlers);
  ~TDirMonitor() override;

  bool SlotWatched(size_t slot) const { return watches_[slot].IsOpen(); }

  // Wakes the thread and waits until it has ended; a reaction already handed to the main
  // thread is finished first, a file change is never waited for. Closes the watches. Must not
  // be called on the main loop's thread while the loop runs.
  void Stop();

 protected:
  void Execute() override;

 private:
  void HandleSlot(size_t slot);
  void RunOnMain(const std::function<void()>& fn);
  int64_t FileTime(const std::string& path) const;

  MainLoop& loop_;
  const TSettings& settings_;
  Handlers handlers_;
  std::array<DirWatch, kSlotCount> watches_;
  WakeEvent wake_;
  bool stopped_ = false;
  // Last-write times (Unix milliseconds) as last seen; 0 when the file did not open.
  int64_t settingsTime_ = 0;
  int64_t replaceTime_ = 0;
};

}  // namespace orbitrace
