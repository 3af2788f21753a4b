// The first bytes of small files (a device's password.txt, its last position), remembered with
// the version of the file they came from: reading an unchanged file again costs one look at its
// metadata instead of an open, a read and a close.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace orbitrace {

enum class FileHeadResult {
  Read,        // the file was read (or is known unchanged since it was)
  Missing,     // there is no such file
  Unreadable,  // it cannot be opened now: held by a writer, no permission, no descriptors left
};

struct TFileHead {
  static constexpr size_t kMaxBytes = 16;
  std::array<char, kMaxBytes> bytes{};  // zero past `size`
  size_t size = 0;                      // how many bytes the file gave
};

class TFileHeadCache {
 public:
  // File times are coarse on many file systems (a clock tick, one or two seconds), so two
  // rewrites of the same length within one step keep the same version. A read is remembered
  // only when the file's change and write times are this much older than the clock at the
  // moment its version is taken: any later change then gets times of its own. Two seconds for
  // the coarsest times, and one more for the kernel's clock that stamps them running a tick
  // behind the real-time clock.
  static constexpr int64_t kSettleMillis = 3000;
  // Past this many files everything is forgotten, whatever the fleet size.
  static constexpr size_t kMaxEntries = 200000;

  explicit TFileHeadCache(const Clock& clock = SystemClock::Instance(),
                          int64_t settleMillis = kSettleMillis, size_t maxEntries = kMaxEntries);

  // The first up to TFileHead::kMaxBytes bytes of the file at `path`, opened for reading with
  // read sharing only (a writer's exclusive hold refuses the read). `head` is empty unless the
  // result is Read. Any thread.
  FileHeadResult Read(const std::string& path, TFileHead& head);

 private:
  struct Entry {
    FileVersion version;
    TFileHead head;
  };
  bool Find(const std::string& path, const FileVersion& version, TFileHead& head);
  void Store(const std::string& path, const FileVersion& version, const TFileHead& head);
  bool Settled(const FileVersion& version, int64_t nowMillis) const;

  const Clock& clock_;
  const int64_t settleMillis_;
  const size_t maxEntries_;
  std::shared_mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
};

}  // namespace orbitrace
