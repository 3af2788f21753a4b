#include "service/ConsoleDialog.h"

#include <cstdio>
#include <cstring>

#include "platform/NamedMutex.h"
#include "platform/Process.h"

namespace orbitrace {

namespace {
constexpr size_t kRequestBufferSize = 255;
constexpr size_t kVersionRequestLength = sizeof kVersionRequest - 1;
}  // namespace

std::string ControlSocketName() {
  return IpcPrefix() + kControlPipeName;
}

std::string FormatVersionAnswer(uint32_t major, uint32_t minor, uint32_t release, uint32_t build) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "OrbitraceServer %d.%d.%d.%d-%c", static_cast<int>(major),
                static_cast<int>(minor), static_cast<int>(release), static_cast<int>(build), 'W');
  return buf;
}

TConsoleDialog::TConsoleDialog(std::string socketName, std::string answer, uint32_t readTimeoutMs,
                               uint32_t pauseMs)
    : socketName_(std::move(socketName)),
      answer_(std::move(answer)),
      readTimeoutMs_(readTimeoutMs),
      pauseMs_(pauseMs) {}

TConsoleDialog::~TConsoleDialog() {
  Terminate();
  WaitFor();
}

void TConsoleDialog::Terminate() {
  TThread::Terminate();
  server_.Shutdown();
}

void TConsoleDialog::Execute() {
  // Without its socket (the name is taken, for example) the thread ends silently and the service
  // runs on without a control socket.
  if (server_.OpenLocal(socketName_, kControlBacklog) != ListenResult::Ok) return;
  while (!Terminated()) {
    Socket client = server_.Accept();
    if (client.Valid()) Serve(client);
    if (!Terminated()) SleepMs(pauseMs_);
  }
  server_.Close();
}

void TConsoleDialog::Serve(Socket& client) {
  // A client that sends nothing is disconnected after the read time-out, so that it cannot keep
  // the clients behind it waiting.
  if (client.WaitReadable(readTimeoutMs_) == PollResult::Ready) {
    char buf[kRequestBufferSize];
    const long n = client.Receive(buf, sizeof buf);
    if (n >= static_cast<long>(kVersionRequestLength) &&
        std::memcmp(buf, kVersionRequest, kVersionRequestLength) == 0) {
      client.SendMessage(answer_);  // a failed write is ignored
    }
  }
  client.Close();
}

}  // namespace orbitrace
