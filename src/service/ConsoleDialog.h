// The control socket: a local message socket on which other programs ask the running server for
// its version. One thread serves one client at a time; it answers the version request and
// nothing else, writes no log and changes nothing in the service.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Socket.h"
#include "platform/Thread.h"

namespace orbitrace {

inline constexpr char kControlPipeName[] = "OrbitraceServerControlPipe";
inline constexpr char kVersionRequest[] = "GET_SERVER_VERSION$";

// Clients waiting for their turn (more wait in connect until their own time-out).
constexpr int kControlBacklog = 16;
// How long a connected client may take to send its request before it is disconnected.
constexpr uint32_t kControlReadTimeoutMs = 2000;
// Pause after each client.
constexpr uint32_t kControlPauseMs = 100;

// The control socket's name for this process's IPC prefix.
std::string ControlSocketName();
// "OrbitraceServer %d.%d.%d.%d-W".
std::string FormatVersionAnswer(uint32_t major, uint32_t minor, uint32_t release, uint32_t build);

class TConsoleDialog : public TThread {
 public:
  TConsoleDialog(std::string socketName, std::string answer,
                 uint32_t readTimeoutMs = kControlReadTimeoutMs,
                 uint32_t pauseMs = kControlPauseMs);
  // A thread that does not free itself is stopped and waited for.
  ~TConsoleDialog() override;

  // Sets the terminate flag and wakes the wait for a client.
  void Terminate() override;

 protected:
  void Execute() override;

 private:
  void Serve(Socket& client);

  std::string socketName_;
  std::string answer_;
  uint32_t readTimeoutMs_;
  uint32_t pauseMs_;
  ListeningSocket server_;
};

}  // namespace orbitrace
