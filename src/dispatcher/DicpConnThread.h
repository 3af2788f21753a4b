// One dispatcher client: the thread owns the connected socket the dispatcher listener handed
// over, serves the client and closes the socket. It frees itself when it ends.
#pragma once

#include "logging/Debug.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

class TDispConnProc : public TThread {
 public:
  // Created suspended with a small stack; the listener logs the client and resumes it.
  TDispConnProc(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                TConnContext& context);

 protected:
  void Execute() override;

 private:
  Socket socket_;
  TDebugWriter& log_;
  const TSettings& settings_;
  TConnContext& context_;
};

}  // namespace orbitrace
