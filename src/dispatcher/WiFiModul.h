// The WiFi listener: accepts tracking controllers on WiFiPort and starts a TWiFiConnThread for
// each.
#pragma once

#include "dispatcher/Listener.h"
#include "logging/Debug.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

class TWiFiModul : public TListenerThread {
 public:
  TWiFiModul(TDebugWriter& logWriter, const TSettings& settings, TConnContext& context,
             uint32_t acceptRetryPauseMs = kAcceptRetryPauseMs);

 protected:
  void Execute() override;
  void StartConnection(Socket client, const std::string& clientLine) override;

 private:
  TDebugWriter& log_;
  const TSettings& settings_;
  TConnContext& context_;
};

}  // namespace orbitrace
