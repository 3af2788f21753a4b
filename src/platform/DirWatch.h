// Change notifications for folders on inotify, and a wait over several of them that another
// thread can interrupt through a wake-up event.
//
// A watch covers one folder or, "with subfolders", the folder and every folder below it: each
// folder gets its own inotify watch, and a folder created (or moved in) later is watched from
// then on. Symbolic links to folders are not followed, so a link loop cannot make the watch
// set grow. When notifications were lost (queue overflow) or a folder was moved, the watch set
// is rebuilt from the tree as it is then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace orbitrace {

// What a watch reports as a change.
enum WatchFilter : uint32_t {
  kWatchNames = 1,       // files or folders created, deleted or renamed
  kWatchAttributes = 2,  // mode, owner or time stamps changed
  kWatchWrites = 4,      // a file closed after writing: a save in place
};

class DirWatch {
 public:
  DirWatch() = default;
  ~DirWatch();
  DirWatch(const DirWatch&) = delete;
  DirWatch& operator=(const DirWatch&) = delete;

  // Starts watching `path`; false (and the watch stays closed) when it is not a folder that can
  // be watched. Subfolders that cannot be watched (for instance over the system's limit of
  // watches) are left out.
  bool Open(const std::string& path, bool subtree, uint32_t filter);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Reads every pending notification without blocking; true when any of them is a change the
  // filter asks for, or notifications were lost.
  bool ReadChanges();

 private:
  friend class ChangeWaiter;
  void AddTree(const std::string& path);
  int AddFolder(const std::string& path, bool root);
  void Resync();

  int fd_ = -1;
  int rootWd_ = -1;
  bool subtree_ = false;
  uint32_t filterMask_ = 0;
  uint32_t watchMask_ = 0;
  std::string root_;
  std::unordered_map<int, std::string> paths_;
};

// A manual-reset event a thread can wait on together with change watches.
class WakeEvent {
 public:
  WakeEvent();
  ~WakeEvent();
  WakeEvent(const WakeEvent&) = delete;
  WakeEvent& operator=(const WakeEvent&) = delete;
  // Any thread.
  void Signal();

 private:
  friend class ChangeWaiter;
  int fd_ = -1;
};

enum class ChangeWait { Changed, Woken, Failed };

class ChangeWaiter {
 public:
  // Waits without a time-out until one of `watches` has notifications or `wake` is signalled.
  // Null and closed watches are left out of the wait. On Changed, `ready` holds the indices of
  // the watches with notifications, ascending. A signalled wake event wins over changes.
  static ChangeWait Wait(const std::vector<DirWatch*>& watches, const WakeEvent& wake,
                         std::vector<size_t>& ready);
};

}  // namespace orbitrace
