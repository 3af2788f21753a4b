// Delivery of the assisted-GPS file to a device: stop-and-wait chunks of 1,000 bytes, each
// acknowledged by the device before the next one goes out.
#pragma once

#include <cstdint>
#include <string>

#include "wifi/WiFiProtocol.h"

namespace orbitrace {

inline constexpr uint32_t kEpoFileSize = 53760;
inline constexpr uint32_t kEpoChunkSize = 1000;
inline constexpr size_t kEpoAckSize = 8;

// ProgramDir + "/agpsdata/MTK7d.EPO".
std::string EpoFilePath(const TSettings& settings);

// Serves one command-7 request of an accepted device; returns when the transfer has ended,
// completely or not. Reads the device's acknowledgements straight from the link.
void DeliverEpo(const TWiFiEnv& env, const TWiFiRequest& request);

}  // namespace orbitrace
