#include "dispatcher/Listener.h"

#include <cstdio>
#include <system_error>

#include "platform/Process.h"

namespace orbitrace {

namespace {

struct CloseOnExit {
  ListeningSocket& socket;
  ~CloseOnExit() { socket.Close(); }
};

}  // namespace

TListenerThread::TListenerThread(uint32_t acceptRetryPauseMs)
    : acceptRetryPauseMs_(acceptRetryPauseMs) {}

void TListenerThread::Terminate() {
  TThread::Terminate();
  listener_.Shutdown();
}

void TListenerThread::Serve(uint16_t port) {
  CloseOnExit closer{listener_};
  switch (listener_.OpenTcp(port)) {
    case ListenResult::Ok:
      break;
    case ListenResult::SocketFailed:
      ExitCode = kListenerSocketFailed;
      return;
    case ListenResult::BindFailed:
      ExitCode = kListenerBindFailed;
      return;
    case ListenResult::ListenFailed:
      ExitCode = kListenerListenFailed;
      return;
  }
  while (!Terminated()) {
    Socket client = listener_.Accept();
    if (!client.Valid()) {
      if (!Terminated()) SleepMs(acceptRetryPauseMs_);
      continue;
    }
    const std::string line = ClientConnectedLine(client);
    try {
      StartConnection(std::move(client), line);
    } catch (const std::system_error& e) {
      // No thread could be made for this client (the process is at its thread or memory
      // limit). Only this client is turned away; the listener keeps its port and pauses so
      // that a lasting shortage does not spin.
      ConnectionThreadFailed(e);
      if (!Terminated()) SleepMs(acceptRetryPauseMs_);
    }
  }
}

std::string ClientConnectedLine(const Socket& client) {
  std::string address = "0.0.0.0";
  uint16_t port = 0;
  client.PeerAddress(address, port);
  char buf[96];
  std::snprintf(buf, sizeof buf, "Клиент %s:%d подключен", address.c_str(), static_cast<int>(port));
  return buf;
}

}  // namespace orbitrace
