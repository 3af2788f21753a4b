#include "wifi/WiFiProtocol.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "wifi/WiFiBytes.h"

namespace orbitrace {

uint32_t IdleLimitForCommand(uint8_t command) {
  switch (command) {
    case wcDataSbinFramed:
    case wcConfigFramed:
    case wcEpoRequest:
      return kIdleLimitLong;
    case wcIdentify:
    case wcNamedFile:
      return kIdleLimitIdentify;
    default:
      return kIdleLimitShort;
  }
}

bool IsWiFiCommand(uint8_t command) {
  switch (command) {
    case wcDataBin:
    case wcConfig:
    case wcDataSbinFramed:
    case wcConfigFramed:
    case wcDataSbin:
    case wcEpoRequest:
    case wcIdentify:
    case wcNamedFile:
      return true;
    default:
      return false;
  }
}

bool IsFileCommand(uint8_t command) {
  switch (command) {
    case wcDataBin:
    case wcConfig:
    case wcDataSbinFramed:
    case wcConfigFramed:
    case wcDataSbin:
      return true;
    default:
      return false;
  }
}

TWiFiHeader ParseWiFiHeader(const unsigned char* p) {
  TWiFiHeader h;
  h.totalLength = GetU32(p);
  h.command = GetU16(p + 4);
  h.headerLength = GetU16(p + 6);
  h.checksum = GetU16(p + 8);
  h.serial = GetU32(p + 10);
  std::memcpy(h.password.data(), p + 14, h.password.size());
  return h;
}

void StoreWiFiHeader(const TWiFiHeader& h, unsigned char* p) {
  PutU32(p, h.totalLength);
  PutU16(p + 4, h.command);
  PutU16(p + 6, h.headerLength);
  PutU16(p + 8, h.checksum);
  PutU32(p + 10, h.serial);
  std::memcpy(p + 14, h.password.data(), h.password.size());
}

THeaderCheck CheckWiFiHeader(const TWiFiHeader& h) {
  if (h.headerLength != kWiFiHeaderSize) return THeaderCheck::BadHeaderLength;
  if (!IsWiFiCommand(static_cast<uint8_t>(h.command & 0xFF))) return THeaderCheck::BadCommand;
  if (h.serial < kWiFiMinSerial || h.serial > kWiFiMaxSerial) return THeaderCheck::BadSerial;
  if (h.totalLength < kWiFiHeaderSize || h.totalLength > kWiFiMaxMessage)
    return THeaderCheck::BadTotalLength;
  return THeaderCheck::Ok;
}

uint16_t WiFiChecksum(const void* data, size_t count) {
  const auto* p = static_cast<const unsigned char*>(data);
  size_t n = count & 0xFFFF;
  uint32_t sum = 0;
  auto add = [&sum](uint32_t word) {
    sum += word;
    if (sum > 0xFFFF) sum = (sum & 0xFFFF) + 1;
  };
  for (; n >= 2; n -= 2, p += 2) add(GetU16(p));
  if (n == 1) add(p[0]);
  return static_cast<uint16_t>(sum);
}

bool PassesChecksumRule(uint8_t command, uint32_t serial, uint16_t headerChecksum,
                        const unsigned char* data, uint32_t& length) {
  switch (command) {
    case wcConfig:
    case wcDataSbinFramed:
    case wcConfigFramed:
    case wcNamedFile:
      return WiFiChecksum(data, length) == headerChecksum;
    case wcDataBin:
    case wcDataSbin: {
      if (serial < kWiFiTrailerSerial) return true;
      if (length < 2) return false;
      length -= 2;
      return WiFiChecksum(data, length) == GetU16(data + length);
    }
    default:
      return true;
  }
}

std::unique_ptr<char[]> AllocateBuffer(const TWiFiOptions& options, size_t size) {
  if (options.allocate != nullptr) return options.allocate(size);
  return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

std::string BuildWiFiFrame(const TWiFiRequest& request, std::string_view payload,
                           bool withChecksum) {
  TWiFiHeader h;
  h.totalLength = static_cast<uint32_t>(kWiFiHeaderSize + payload.size());
  // The command byte sign-extended to the 16-bit field.
  h.command = static_cast<uint16_t>(static_cast<int16_t>(static_cast<int8_t>(request.command)));
  h.headerLength = kWiFiHeaderSize;
  h.checksum = withChecksum ? WiFiChecksum(payload.data(), payload.size()) : 0;
  h.serial = request.serial;
  h.password = request.password;
  std::string frame(kWiFiHeaderSize, '\0');
  StoreWiFiHeader(h, reinterpret_cast<unsigned char*>(frame.data()));
  frame.append(payload);
  return frame;
}

void SendFramed(const TWiFiEnv& env, const TWiFiRequest& request, std::string_view payload,
                bool withChecksum) {
  const std::string frame = BuildWiFiFrame(request, payload, withChecksum);
  env.link.Send(frame.data(), frame.size());
}

void SendPlain(const TWiFiEnv& env, std::string_view text) {
  env.link.Send(text.data(), text.size());
}

std::string WiFiText(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return std::string();
  return std::string(buf,
                     static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

}  // namespace orbitrace
