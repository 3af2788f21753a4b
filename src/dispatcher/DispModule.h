// The dispatcher listener: accepts dispatcher programs on DispatcherPort and starts a
// TDispConnProc for each.
#pragma once

#include "dispatcher/Listener.h"
#include "logging/Debug.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

class TDispModule : public TListenerThread {
 public:
  TDispModule(TDebugWriter& logWriter, const TSettings& settings, TConnContext& context,
              uint32_t acceptRetryPauseMs = kAcceptRetryPauseMs);

 protected:
  void Execute() override;
  void StartConnection(Socket client, const std::string& clientLine) override;
  void ConnectionThreadFailed(const std::exception& e) override;

 private:
  TDebugWriter& log_;
  const TSettings& settings_;
  TConnContext& context_;
};

}  // namespace orbitrace
