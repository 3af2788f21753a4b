#include "dispatcher/DispModule.h"

#include <exception>
#include <memory>

#include "dispatcher/DicpConnThread.h"

namespace orbitrace {

TDispModule::TDispModule(TDebugWriter& logWriter, const TSettings& settings, TConnContext& context,
                         uint32_t acceptRetryPauseMs)
    : TListenerThread(acceptRetryPauseMs),
      log_(logWriter),
      settings_(settings),
      context_(context) {}

void TDispModule::Execute() {
  try {
    ExitCode = kListenerEnded;
    log_.AddDispRecord(ThreadID(), "Диспетчерский модуль запущен", kLevelALW);
    Serve(settings_.DispatcherTcpPort());
  } catch (const std::exception& e) {
    // The module ends with the exit code it had; the supervisor restarts it on code 0.
    log_.AddDispRecord(ThreadID(), std::string("Исключение в TDispModule::Execute.") + e.what(),
                       kLevelALW);
  }
}

void TDispModule::ConnectionThreadFailed(const std::exception& e) {
  log_.AddDispRecord(ThreadID(), std::string("Исключение в TDispModule::Execute.") + e.what(),
                     kLevelALW);
}

void TDispModule::StartConnection(Socket client, const std::string& clientLine) {
  // Owned here until it runs, so that a failure before Resume() does not leave it behind.
  auto conn = std::make_unique<TDispConnProc>(std::move(client), log_, settings_, context_);
  conn->SetPriority(TThread::Priority::Normal);
  conn->SetFreeOnTerminate(true);
  log_.AddDispRecord(conn->ThreadID(), clientLine, kLevelINF);
  conn.release()->Resume();  // from now on it frees itself when it ends
}

}  // namespace orbitrace
