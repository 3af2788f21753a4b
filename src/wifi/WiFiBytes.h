// Little-endian helpers that only the WiFi port's wire records need, on top of the integer
// helpers both ports share. Records are always built and taken apart field by field, never by
// casting structs onto buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "dispatcher/WireFormat.h"

namespace orbitrace::wifi {

// An IEEE 754 double in its little-endian byte order.
inline void StoreF64(unsigned char* p, double v) {
  uint64_t bits = 0;
  static_assert(sizeof bits == sizeof v);
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(bits >> (8 * i));
}

inline double LoadF64(const unsigned char* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(p[i]) << (8 * i);
  double v = 0;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// Appends fields to a byte string.
inline void AppendU16(std::string& out, uint16_t v) {
  uint8_t b[2];
  PutU16(b, v);
  out.append(reinterpret_cast<const char*>(b), sizeof b);
}

inline void AppendU32(std::string& out, uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  out.append(reinterpret_cast<const char*>(b), sizeof b);
}

inline const unsigned char* Bytes(const char* p) {
  return reinterpret_cast<const unsigned char*>(p);
}

}  // namespace orbitrace::wifi
