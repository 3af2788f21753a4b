#include "registry/FileHeadCache.h"

#include <cerrno>
#include <mutex>

namespace orbitrace {

TFileHeadCache::TFileHeadCache(const Clock& clock, int64_t settleMillis, size_t maxEntries)
    : clock_(clock), settleMillis_(settleMillis), maxEntries_(maxEntries) {}

FileHeadResult TFileHeadCache::Read(const std::string& path, TFileHead& head) {
  head = TFileHead{};
  FileVersion version;
  if (GetFileVersion(path, version) && Find(path, version, head)) return FileHeadResult::Read;
  File f;
  if (!f.Open(path, Access::Read, Share::Read, Disposition::OpenExisting)) {
    return errno == ENOENT ? FileHeadResult::Missing : FileHeadResult::Unreadable;
  }
  // The clock is read before the version is taken, and the version while the file is held for
  // reading, before its bytes are read: a change after that moment gives another version.
  const int64_t nowMillis = clock_.UnixMillis();
  const bool versioned = f.Version(version);
  // The bytes of the version taken (one read, no second one to find the end).
  const size_t want = versioned && version.size < static_cast<int64_t>(head.bytes.size())
                          ? static_cast<size_t>(version.size)
                          : head.bytes.size();
  const int64_t n = want == 0 ? 0 : f.Read(head.bytes.data(), want);
  if (n > 0) head.size = static_cast<size_t>(n);
  if (versioned && n >= 0 && Settled(version, nowMillis)) Store(path, version, head);
  return FileHeadResult::Read;
}

bool TFileHeadCache::Settled(const FileVersion& version, int64_t nowMillis) const {
  const int64_t latestNs = (nowMillis - settleMillis_) * 1000000;
  return version.changeTimeNs <= latestNs && version.modifyTimeNs <= latestNs;
}

bool TFileHeadCache::Find(const std::string& path, const FileVersion& version, TFileHead& head) {
  std::shared_lock<std::shared_mutex> lock(mu_);  // lookups of many connections side by side
  const auto it = entries_.find(path);
  if (it == entries_.end() || !(it->second.version == version)) return false;
  head = it->second.head;
  return true;
}

void TFileHeadCache::Store(const std::string& path, const FileVersion& version,
                           const TFileHead& head) {
  std::lock_guard<std::shared_mutex> lock(mu_);
  if (entries_.size() >= maxEntries_ && entries_.find(path) == entries_.end()) entries_.clear();
  entries_[path] = Entry{version, head};
}

}  // namespace orbitrace
