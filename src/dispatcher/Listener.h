// What the two TCP listeners have in common: one thread that opens a listening socket on its
// port, accepts clients until it is asked to stop, and hands every client to a connection thread
// of its own. The exit code tells the supervisor why the listener ended.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/Socket.h"
#include "platform/Thread.h"

namespace orbitrace {

// Exit codes of a listener.
constexpr int8_t kListenerEnded = 0;         // asked to stop, or an exception ended it
constexpr int8_t kListenerBindFailed = 1;    // binding to the port failed
constexpr int8_t kListenerListenFailed = 2;  // switching to listening failed
constexpr int8_t kListenerSocketFailed = 3;  // the socket could not be created

// Pause after a failed accept, so that a lasting failure (for example no descriptors left) does
// not keep a core busy.
constexpr uint32_t kAcceptRetryPauseMs = 100;

class TListenerThread : public TThread {
 public:
  // Set by the thread before it ends; the termination handler reads it.
  int8_t ExitCode = kListenerEnded;

  // Sets the terminate flag and wakes an accept that waits for a client, so that a stop request
  // does not wait for the next client.
  void Terminate() override;

 protected:
  explicit TListenerThread(uint32_t acceptRetryPauseMs);

  // Opens the listening socket on `port` and accepts clients until the thread is terminated,
  // handing each to StartConnection(). Sets ExitCode 1 to 3 when the socket cannot be set up.
  // The listening socket is closed on every way out, exceptions included.
  void Serve(uint16_t port);

  // Creates, logs and resumes the connection thread of one accepted client. `clientLine` is the
  // log line that announces the client.
  virtual void StartConnection(Socket client, const std::string& clientLine) = 0;
  // Reports that no connection thread could be created for a client (which is then closed).
  virtual void ConnectionThreadFailed(const std::exception&) {}

 private:
  ListeningSocket listener_;
  uint32_t acceptRetryPauseMs_;
};

// "Клиент %s:%d подключен" for the peer of `client` (0.0.0.0:0 when the peer is unknown).
std::string ClientConnectedLine(const Socket& client);

}  // namespace orbitrace
