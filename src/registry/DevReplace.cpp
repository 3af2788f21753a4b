#include "registry/DevReplace.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "platform/FileSystem.h"
#include "platform/IniFile.h"

namespace orbitrace {

void SortReplaceList(std::vector<TDevReplaceEntry>& list) {
  // Distinct keys: every sort gives the same order, so take a fast one. Equal keys: their
  // order after the exchange sort decides lookups, so run exactly that sort.
  std::vector<int32_t> keys;
  keys.reserve(list.size());
  for (const TDevReplaceEntry& e : list) keys.push_back(e.FromSerial);
  std::sort(keys.begin(), keys.end());
  if (std::adjacent_find(keys.begin(), keys.end()) == keys.end()) {
    std::sort(list.begin(), list.end(), [](const TDevReplaceEntry& a, const TDevReplaceEntry& b) {
      return a.FromSerial < b.FromSerial;
    });
    return;
  }
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    for (size_t j = i + 1; j < list.size(); ++j) {
      if (list[i].FromSerial > list[j].FromSerial) std::swap(list[i], list[j]);
    }
  }
}

void LoadReplaceList(const std::string& programDir, std::vector<TDevReplaceEntry>& list) {
  const std::string iniPath = programDir + "/" + kDevReplaceIniFile;
  if (!FileExists(iniPath)) return;
  const auto lines = IniFile(iniPath).ReadSectionValues("REPLACE");
  // A key read by name gives the value of its first line.
  std::unordered_map<std::string, const std::string*> firstValue;
  for (const auto& [key, value] : lines) firstValue.try_emplace(ToLowerAscii(key), &value);
  for (const auto& [key, value] : lines) {
    int32_t from = 0;
    if (!ParseProfileInteger(key, from) || from <= 0) continue;
    int32_t to = 0;
    if (!ParseProfileInteger(*firstValue[ToLowerAscii(key)], to) || to <= 0) continue;
    list.push_back(TDevReplaceEntry{from, to});
  }
  SortReplaceList(list);
  if (list.empty()) return;
  TListFileWriter out;
  if (!out.Open(programDir + "/" + kDevReplaceFile)) return;
  char line[64];
  for (const TDevReplaceEntry& e : list) {
    const int n =
        std::snprintf(line, sizeof line, "From %05u to %05u\r\n",
                      static_cast<unsigned>(e.FromSerial), static_cast<unsigned>(e.ToSerial));
    out.WriteLine(std::string_view(line, static_cast<size_t>(n)));
  }
  out.Close();
}

TReplaceList::TReplaceList(const TSettings& settings, const MutexSlot& mutex)
    : settings_(settings), mutex_(mutex) {}

void TReplaceList::Reload() {
  std::vector<TDevReplaceEntry> fresh;
  LoadReplaceList(settings_.ProgramDir, fresh);
  std::lock_guard<std::mutex> guard(mu_);
  entries_.swap(fresh);
}

void TReplaceList::LoadAtStart() {
  Reload();
}

void TReplaceList::UpdateReplaceList() {
  NamedLock lock(mutex_.get(), kReplaceRebuildWaitMs);
  if (lock) Reload();
}

void TReplaceList::ClearReplaceList() {
  NamedLock lock(mutex_.get(), kReplaceClearWaitMs);
  if (!lock) return;
  std::lock_guard<std::mutex> guard(mu_);
  entries_.clear();
}

uint32_t TReplaceList::GetReplacement(uint32_t serial) const {
  NamedLock lock(mutex_.get(), kReplaceLookupWaitMs);
  if (!lock) return serial;
  std::lock_guard<std::mutex> guard(mu_);
  // The list is sorted by FromSerial as signed numbers; the first entry not less than the
  // serial is the one a walk from the start stops at.
  const int32_t key = static_cast<int32_t>(serial);
  const auto it =
      std::lower_bound(entries_.begin(), entries_.end(), key,
                       [](const TDevReplaceEntry& e, int32_t k) { return e.FromSerial < k; });
  if (it == entries_.end() || it->FromSerial != key) return serial;
  return static_cast<uint32_t>(it->ToSerial);
}

std::vector<TDevReplaceEntry> TReplaceList::Snapshot() const {
  NamedLock lock(mutex_.get(), kReplaceLookupWaitMs);
  if (!lock) return {};
  std::lock_guard<std::mutex> guard(mu_);
  return entries_;
}

}  // namespace orbitrace
