#include "service/ServiceRegistry.h"

namespace orbitrace {

// Until the registry lists are attached, the registry is empty: no device is served, no
// dispatcher password is listed, nobody is replaced and no device password is accepted.
bool TServiceRegistry::IsDeviceServed(uint32_t) const {
  return false;
}
std::optional<std::array<char, 8>> TServiceRegistry::FindDispPassword(uint32_t) const {
  return std::nullopt;
}
bool TServiceRegistry::CheckDevicePassword(uint32_t, const std::array<char, 8>&) {
  return false;
}
uint32_t TServiceRegistry::GetReplacement(uint32_t serial) const {
  return serial;
}

}  // namespace orbitrace
