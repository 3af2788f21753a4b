// Fuzz target for the dBASE table reader. The first input byte chooses how the source splits
// its reads (low six bits) and whether the header's file size promises more bytes than arrive
// (a table that shrinks while it is read); the rest is the table.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "registry/DeviceSources.h"

using namespace orbitrace;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = data[0] & 0x3F;
  const bool shrunk = (data[0] & 0x40) != 0;
  const std::string_view table(reinterpret_cast<const char*>(data + 1), size - 1);
  TDeviceListBuilder list;
  list.Add(TGSMEntry{4711, "before"});
  MemorySource source(table, chunk);
  const bool accepted = ReadDBFTable(source, table.size() + (shrunk ? 4096 : 0), list);

  std::unordered_set<uint32_t> seen;
  for (const TGSMEntry& e : list.Entries()) {
    if (!seen.insert(e.Serial).second) abort();  // a serial twice
    if (e.Serial == 4711 && e.Password == "before") continue;
    if (e.Serial < 1 || e.Serial > 99999) abort();
    if (!e.Password.empty() && (static_cast<unsigned char>(e.Password.front()) <= 0x20 ||
                                static_cast<unsigned char>(e.Password.back()) <= 0x20)) {
      abort();  // not trimmed
    }
  }
  if (!accepted && list.Size() != 1) abort();  // a rejected layout adds nothing
  return 0;
}
