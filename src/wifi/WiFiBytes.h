// Little-endian reading and writing of the WiFi port's wire records. Records are always built
// and taken apart field by field through these helpers, never by casting structs onto buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace orbitrace::wifi {

inline uint16_t LoadU16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void StoreU16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline void StoreU32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}

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
  unsigned char b[2];
  StoreU16(b, v);
  out.append(reinterpret_cast<const char*>(b), sizeof b);
}

inline void AppendU32(std::string& out, uint32_t v) {
  unsigned char b[4];
  StoreU32(b, v);
  out.append(reinterpret_cast<const char*>(b), sizeof b);
}

inline const unsigned char* Bytes(const char* p) {
  return reinterpret_cast<const unsigned char*>(p);
}

}  // namespace orbitrace::wifi
