// The service's device registry as the connection threads reach it.
#pragma once

#include "service/ConnContext.h"

namespace orbitrace {

class TServiceRegistry final : public IDeviceRegistry {
 public:
  bool IsDeviceServed(uint32_t serial) const override;
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t serial) const override;
  bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) override;
  uint32_t GetReplacement(uint32_t serial) const override;
};

}  // namespace orbitrace
