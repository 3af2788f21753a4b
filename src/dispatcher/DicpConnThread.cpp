#include "dispatcher/DicpConnThread.h"

namespace orbitrace {

TDispConnProc::TDispConnProc(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                             TConnContext& context)
    : TThread(ConnectionStackSize()),
      socket_(std::move(socket)),
      log_(logWriter),
      settings_(settings),
      context_(context) {}

void TDispConnProc::Execute() {
  // The dispatcher protocol is not served yet: the connection is closed at once.
  socket_.Close();
  log_.AddDispRecord(ThreadID(), "Соединение закрыто.", kLevelDVL);
}

}  // namespace orbitrace
