// The per-device checks every element of a dispatcher request passes before it is served: the
// device folder, the password (dispatcher password list, else the folder's password.txt), and
// depending on the request the device list, billing, a usable last position or a file to serve.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "dispatcher/DevFileSearch.h"
#include "dispatcher/DispEnv.h"

namespace orbitrace {

// One element of a last-position request.
struct TGetLastPosRequest {
  uint32_t serial = 0;
  std::array<char, 8> password{};
  // The position record (first 12 bytes of lastposition.bin) as the check read it, so that the
  // answer does not open the file a second time.
  std::array<uint8_t, 12> position{};
};

// One element of a set-route request.
struct TSetRouteRequest {
  uint32_t serial = 0;
  std::array<char, 8> password{};
  uint32_t route = 0;
};

// What to do when neither the dispatcher password list nor password.txt gives a password.
enum class MissingPassword {
  CompareWithZeros,  // the device password counts as eight zero bytes
  Refuse,            // the element is refused without a log line
};

// True when `password` is the device's password. The dispatcher password list decides when it
// has an entry ("(FLD)" on a mismatch, unless `folder` does not exist); otherwise the first
// eight bytes of the device folder's password.txt, padded with spaces ("(DEV)" on a mismatch).
// `folder` need not exist, except with CompareWithZeros.
bool PasswordMatches(const DispEnv& env, const std::string& folder, uint32_t serial,
                     const std::array<char, 8>& password, MissingPassword missing);

// Data requests (types 1 to 4): folder, password, and a file to serve; on true the record's
// answer fields are filled in.
bool CheckDevFilesRequest(const DispEnv& env, TDevFilesRequest& record, uint16_t type);
// True when billing does not stop the device.
bool BillingGate(const DispEnv& env, uint32_t serial);
// Last-position requests: served device, billing, password, a position on file (a device
// without a folder has neither). On true the record's position holds the position record read.
bool CheckLastPositionRequest(const DispEnv& env, TGetLastPosRequest& record);
// Set-route requests: served device, folder, password.
bool CheckSetRouteRequest(const DispEnv& env, const TSetRouteRequest& record);

}  // namespace orbitrace
