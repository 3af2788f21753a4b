// Fuzz target for the ATG text reader. The text is read once in one piece and once through a
// source that splits its reads (size chosen by the first input byte); both must give the same
// devices. A text that arrives short must give none.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <unordered_set>

#include "registry/DeviceSources.h"

using namespace orbitrace;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t chunk = 1 + (data[0] & 0x7F);
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  TDeviceListBuilder whole;
  MemorySource wholeSource(text);
  ReadATGText(wholeSource, text.size(), whole);
  TDeviceListBuilder split;
  MemorySource splitSource(text, chunk);
  ReadATGText(splitSource, text.size(), split);

  if (whole.Size() != split.Size()) abort();
  std::unordered_set<uint32_t> seen;
  for (size_t i = 0; i < whole.Size(); ++i) {
    const TGSMEntry& a = whole.Entries()[i];
    const TGSMEntry& b = split.Entries()[i];
    if (a.Serial != b.Serial || a.Password != b.Password) abort();
    if (!seen.insert(a.Serial).second) abort();
    if (a.Serial < 10000 || a.Serial > 9999999) abort();
    if (a.Password.empty() || a.Password.size() > kMaxTextLine) abort();
    if (a.Password.find_first_of(std::string_view(";\r\n\0", 4)) != std::string::npos) abort();
  }

  TDeviceListBuilder cut;
  MemorySource cutSource(text, chunk);
  ReadATGText(cutSource, text.size() + 1, cut);
  if (cut.Size() != 0) abort();
  return 0;
}
