// The service's device registry as the connection threads reach it: the device list, the
// dispatcher passwords, the device passwords in the device folders and the replacements.
#pragma once

#include "registry/DevReplace.h"
#include "registry/DeviceList.h"
#include "registry/DispPasswords.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

class TServiceRegistry final : public IDeviceRegistry {
 public:
  TServiceRegistry(const TSettings& settings, const TDeviceList& devices,
                   const TDispPassList& dispPasswords, const TReplaceList& replacements)
      : settings_(settings),
        devices_(devices),
        dispPasswords_(dispPasswords),
        replacements_(replacements) {}

  bool IsDeviceServed(uint32_t serial) const override;
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t serial) const override;
  bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) override;
  uint32_t GetReplacement(uint32_t serial) const override;

 private:
  const TSettings& settings_;
  const TDeviceList& devices_;
  const TDispPassList& dispPasswords_;
  const TReplaceList& replacements_;
};

}  // namespace orbitrace
