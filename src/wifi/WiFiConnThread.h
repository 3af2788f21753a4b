// One controller on the WiFi port: the thread owns the connected socket the WiFi listener handed
// over, runs the receive loop, feeds the message assembler and closes the socket when the
// connection ends. It frees itself when it ends.
#pragma once

#include "logging/Debug.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "service/ConnContext.h"
#include "service/Settings.h"
#include "wifi/WiFiMessageAssembler.h"
#include "wifi/WiFiProtocol.h"

namespace orbitrace {

class TWiFiConnThread : public TThread {
 public:
  // Created suspended with a small stack; the listener logs the client and resumes it.
  TWiFiConnThread(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                  TConnContext& context, const TWiFiOptions& options = TWiFiOptions());

 protected:
  void Execute() override;

 private:
  void ReceiveLoop();
  void Log(int level, std::string_view text) { log_.AddWiFiRecord(ThreadID(), 0, level, text); }

  Socket socket_;
  TDebugWriter& log_;
  const TSettings& settings_;
  TConnContext& context_;
  TWiFiOptions options_;
  TSocketLink link_;
  TWiFiMessageAssembler assembler_;
};

}  // namespace orbitrace
