// The shared shape of the device list and the dispatcher password list: entries with distinct
// serial numbers in ascending order, rebuilt on the main thread and read by connection threads.
//
// Every access takes the list's named mutex with a time-out (a failed wait gives the caller's
// neutral answer) and copies out what it needs while holding it. The entries themselves are
// also guarded by a process-local mutex, always taken inside the named one, so the list stays
// sound even when the named mutex is held elsewhere and the owner has to empty it anyway (see
// ForceClear).
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "registry/Layout.h"

namespace orbitrace {

// A list being built by a scan: entries in the order they were found, at most one per serial.
template <typename Entry>
class TSerialListBuilder {
 public:
  // True when the list already holds `serial`.
  bool FindDevice(uint32_t serial) const { return serials_.count(serial) != 0; }
  // Appends an entry whose serial is not in the list yet.
  void Add(Entry entry) {
    serials_.insert(entry.Serial);
    entries_.push_back(std::move(entry));
  }
  size_t Size() const { return entries_.size(); }
  // Drops the entries added after the first `count`.
  void Truncate(size_t count) {
    while (entries_.size() > count) {
      serials_.erase(entries_.back().Serial);
      entries_.pop_back();
    }
  }
  const std::vector<Entry>& Entries() const { return entries_; }
  // The entries in ascending order of serial. The serials are distinct and positive, so this
  // is the order any sort by serial gives.
  std::vector<Entry> TakeSorted() {
    std::sort(entries_.begin(), entries_.end(),
              [](const Entry& a, const Entry& b) { return a.Serial < b.Serial; });
    serials_.clear();
    return std::move(entries_);
  }

 private:
  std::vector<Entry> entries_;
  std::unordered_set<uint32_t> serials_;
};

template <typename Entry>
class TSortedSerialList {
 public:
  explicit TSortedSerialList(const MutexSlot& mutex) : mutex_(mutex) {}

  // Puts `entries` (ascending, distinct serials) in place when the named mutex is obtained
  // within `waitMs`; `entries` then holds the old list, to be freed by the caller outside the
  // lock. False (and `entries` unchanged) when the wait failed.
  bool Swap(std::vector<Entry>& entries, uint32_t waitMs) {
    NamedLock lock(mutex_.get(), waitMs);
    if (!lock) return false;
    std::lock_guard<std::mutex> guard(mu_);
    entries_.swap(entries);
    return true;
  }

  // True when an entry with `serial` is listed; false also when the wait failed.
  bool Contains(uint32_t serial, uint32_t waitMs) const {
    NamedLock lock(mutex_.get(), waitMs);
    if (!lock) return false;
    std::lock_guard<std::mutex> guard(mu_);
    return std::binary_search(entries_.begin(), entries_.end(), serial, Less());
  }

  // A copy of the entry with `serial`; none when it is not listed or the wait failed.
  std::optional<Entry> Find(uint32_t serial, uint32_t waitMs) const {
    NamedLock lock(mutex_.get(), waitMs);
    if (!lock) return std::nullopt;
    std::lock_guard<std::mutex> guard(mu_);
    const auto it = std::lower_bound(entries_.begin(), entries_.end(), serial, Less());
    if (it == entries_.end() || it->Serial != serial) return std::nullopt;
    return *it;
  }

  // A copy of every entry (empty when the wait failed).
  std::vector<Entry> Snapshot(uint32_t waitMs) const {
    NamedLock lock(mutex_.get(), waitMs);
    if (!lock) return {};
    std::lock_guard<std::mutex> guard(mu_);
    return entries_;
  }

  // Empties the list, under the named mutex when it can be had within `waitMs` and otherwise
  // without it: the process-local mutex still keeps every reader in this process sound.
  void ForceClear(uint32_t waitMs) {
    std::vector<Entry> old;
    {
      NamedLock lock(mutex_.get(), waitMs);
      std::lock_guard<std::mutex> guard(mu_);
      old.swap(entries_);
    }
  }

 private:
  struct Less {
    bool operator()(const Entry& e, uint32_t s) const { return e.Serial < s; }
    bool operator()(uint32_t s, const Entry& e) const { return s < e.Serial; }
  };

  const MutexSlot& mutex_;
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
};

}  // namespace orbitrace
