// Conversion of the server's UTF-8 texts to the single-byte Cyrillic code page (CP1251) that
// every log, journal and list file is written in.
#pragma once

#include <string>
#include <string_view>

namespace orbitrace {

// Converts UTF-8 to CP1251. Characters without a CP1251 form, and malformed UTF-8 bytes, become
// '?'. ASCII passes unchanged.
std::string Utf8ToCp1251(std::string_view utf8);

// Converts CP1251 bytes back to UTF-8 (used by tests and tools that read the files back).
std::string Cp1251ToUtf8(std::string_view cp1251);

}  // namespace orbitrace
