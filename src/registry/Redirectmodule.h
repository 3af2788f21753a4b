// Settings of data forwarding to other servers. Forwarding itself is not part of this server:
// it keeps the per-server settings folders under Redirect, moves the old single-server keys of
// OrbitraceServer.ini into that layout at start, and holds an empty list of redirect servers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/IniFile.h"

namespace orbitrace {

// One redirect server: four texts and a list of numbered texts. Nothing in this server fills
// one; the list only has to be emptied.
struct TRServerEntry {
  std::array<std::string, 4> Texts;
  std::vector<std::pair<uint32_t, std::string>> Pairs;
};

class TRedirectList {
 public:
  // Destroys every entry and empties the list.
  void ClearRedirectList() { entries_.clear(); }
  size_t Size() const { return entries_.size(); }

 private:
  std::vector<TRServerEntry> entries_;
};

// Moves the old single-server keys of section REDIRECT into `redirectDir` (ending in '/'): when
// RedirectEnable is not 0 and RedirectServer and RedirectPort are set, the folder
// "<server>-<port>" is created there (one level) and, only when it was created now, its
// Settings.ini gets Period, RedirectAll and Format in section COMMON. The caller deletes the
// old keys afterwards.
void MigrateRedirectSettings(IniFile& ini, const std::string& redirectDir);

}  // namespace orbitrace
