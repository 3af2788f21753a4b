// Request types, sizes and limits of the dispatcher protocol.
#pragma once

#include <cstdint>

namespace orbitrace {

// Request types.
constexpr uint16_t kReqDataList = 1;    // list of data files
constexpr uint16_t kReqDataFiles = 2;   // data files with their contents
constexpr uint16_t kReqRouteList = 3;   // list of route files
constexpr uint16_t kReqRouteFiles = 4;  // route files with their contents
constexpr uint16_t kReqSetRoute = 128;
constexpr uint16_t kReqLastPosition = 192;

// Request header: u32 total length, u16 type, u32 element count.
constexpr uint32_t kRequestHeaderSize = 10;
constexpr uint32_t kMaxElements = 99999;
// 10 + 26 * 99999: the longest request a connection ever takes in.
constexpr uint32_t kMaxRequestLength = 2599984;

// Size of every element of a request of type `type`.
constexpr uint32_t ElementSize(uint16_t type) {
  return type == kReqSetRoute ? 20 : type == kReqLastPosition ? 16 : 26;
}

constexpr bool IsKnownRequestType(uint16_t type) {
  return (type >= kReqDataList && type <= kReqRouteFiles) || type == kReqSetRoute ||
         type == kReqLastPosition;
}

// Data answers: header, 24-byte descriptors, then the file bytes of types 2 and 4, together
// never more than 10 MiB.
constexpr uint32_t kAnswerHeaderSize = 10;
constexpr uint32_t kDescriptorSize = 24;
constexpr uint32_t kMaxAnswerLength = 10485760;

}  // namespace orbitrace
