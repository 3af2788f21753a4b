#include "service/ServiceRegistry.h"

#include <algorithm>

namespace orbitrace {

bool TServiceRegistry::IsDeviceServed(uint32_t serial) const {
  return devices_.IsDeviceServed(serial);
}

std::optional<std::array<char, 8>> TServiceRegistry::FindDispPassword(uint32_t serial) const {
  const std::optional<TDispPassEntry> entry = dispPasswords_.FindDispPassword(serial);
  if (!entry) return std::nullopt;
  std::array<char, 8> password{};
  std::copy_n(entry->Password.begin(), password.size(), password.begin());
  return password;
}

bool TServiceRegistry::CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) {
  // DataFolder is fixed once the service has started, before any connection exists.
  return orbitrace::CheckDevicePassword(settings_.DataFolder, serial, password);
}

uint32_t TServiceRegistry::GetReplacement(uint32_t serial) const {
  return replacements_.GetReplacement(serial);
}

}  // namespace orbitrace
