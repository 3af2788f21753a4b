#include "dispatcher/WiFiModul.h"

#include <memory>

#include "wifi/WiFiConnThread.h"

namespace orbitrace {

TWiFiModul::TWiFiModul(TDebugWriter& logWriter, const TSettings& settings, TConnContext& context,
                       uint32_t acceptRetryPauseMs)
    : TListenerThread(acceptRetryPauseMs),
      log_(logWriter),
      settings_(settings),
      context_(context) {}

void TWiFiModul::Execute() {
  // Unlike the dispatcher listener this one does not catch exceptions: the thread ends with exit
  // code 0 and nothing is logged (Serve() still closes the listening socket).
  ExitCode = kListenerEnded;
  log_.AddWiFiRecord(ThreadID(), 0, kLevelALW, "Модуль WiFi запущен");
  Serve(settings_.WiFiTcpPort());
}

void TWiFiModul::StartConnection(Socket client, const std::string& clientLine) {
  // Owned here until it runs, so that a failure before Resume() does not leave it behind.
  auto conn = std::make_unique<TWiFiConnThread>(std::move(client), log_, settings_, context_);
  conn->SetPriority(TThread::Priority::Normal);
  conn->SetFreeOnTerminate(true);
  log_.AddWiFiRecord(conn->ThreadID(), 0, kLevelINF, clientLine);
  conn.release()->Resume();  // from now on it frees itself when it ends
}

}  // namespace orbitrace
