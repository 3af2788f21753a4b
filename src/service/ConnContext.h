// What every connection thread shares beyond its socket, the log writer and the settings. The
// service owns one instance for the life of the process and the listeners hand it to each
// connection thread they start; a test builds its own.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/Clock.h"

namespace orbitrace {

// The device registry as the connection threads see it. Every lookup may be called from any
// thread; each takes its list's lock only while it searches and copies out what it returns, and
// a lock that cannot be had in time gives the neutral answer noted below.
class IDeviceRegistry {
 public:
  virtual ~IDeviceRegistry() = default;
  // Whether `serial` is in the device list (false when the list cannot be had).
  virtual bool IsDeviceServed(uint32_t serial) const = 0;
  // The eight password bytes of the dispatcher password list entry of `serial`, exactly as the
  // list holds them; none when there is no entry or the list cannot be had.
  virtual std::optional<std::array<char, 8>> FindDispPassword(uint32_t serial) const = 0;
  // Checks the eight password bytes a WiFi device sent against its device folder's
  // password.txt, creating the folders and the file on first contact.
  virtual bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) = 0;
  // The serial whose device folder receives the data of `serial` (itself when not replaced).
  virtual uint32_t GetReplacement(uint32_t serial) const = 0;
};

struct TConnContext {
  TConnContext(const Clock& c, IDeviceRegistry& r) : clock(c), registry(r) {}
  TConnContext(const TConnContext&) = delete;
  TConnContext& operator=(const TConnContext&) = delete;

  // Time source of the connections (dates, tick counts).
  const Clock& clock;
  // Device lookups.
  IDeviceRegistry& registry;
};

}  // namespace orbitrace
