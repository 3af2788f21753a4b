// Device replacement: pairs of serial numbers from section REPLACE of DevReplace.ini. The WiFi
// file reception stores the uploads of a listed sending controller in the device folder of the
// serial it replaces. Written out as DevReplace.txt.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "registry/Layout.h"
#include "service/Settings.h"

namespace orbitrace {

struct TDevReplaceEntry {
  int32_t FromSerial = 0;  // serial the controller sends (the key)
  int32_t ToSerial = 0;    // serial whose device folder receives its uploads (the value)
  bool operator==(const TDevReplaceEntry&) const = default;
};

// Fills `list` from DevReplace.ini in `programDir` (nothing when the file is missing): every
// key and value that read as numbers above 0, in ascending order of FromSerial. Entries with
// equal FromSerial keep the order of the exchange sort below. Writes DevReplace.txt unless the
// list is empty (a file written earlier then stays).
void LoadReplaceList(const std::string& programDir, std::vector<TDevReplaceEntry>& list);

// The exchange sort of the replacement list: each position is compared with every later one
// and the two are exchanged when the earlier has the greater FromSerial. The first entry of a
// run of equal FromSerial values is the one GetReplacement answers with.
void SortReplaceList(std::vector<TDevReplaceEntry>& list);

class TReplaceList {
 public:
  TReplaceList(const TSettings& settings, const MutexSlot& mutex);

  // Fills the list at service start, before any other thread uses it (no named mutex).
  void LoadAtStart();
  // Reloads DevReplace.ini under the mutex (main thread); when the mutex cannot be had within
  // 1000 ms the old list stays.
  void UpdateReplaceList();
  // Empties the list under the mutex (waits up to 3000 ms; the entries stay when it fails).
  void ClearReplaceList();
  // The serial whose device folder receives the data of `serial`: the replacing serial, or
  // `serial` itself when none is listed or the list cannot be had within 1000 ms. Any thread.
  uint32_t GetReplacement(uint32_t serial) const;
  std::vector<TDevReplaceEntry> Snapshot() const;

 private:
  // Reads DevReplace.ini into a new list and swaps it in.
  void Reload();

  const TSettings& settings_;
  const MutexSlot& mutex_;
  mutable std::mutex mu_;  // guards entries_ inside the named mutex
  std::vector<TDevReplaceEntry> entries_;
};

}  // namespace orbitrace
