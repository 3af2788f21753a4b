#include "wifi/WiFiConnThread.h"

namespace orbitrace {

TWiFiConnThread::TWiFiConnThread(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                                 TConnContext& context)
    : TThread(ConnectionStackSize()),
      socket_(std::move(socket)),
      log_(logWriter),
      settings_(settings),
      context_(context) {}

void TWiFiConnThread::Execute() {
  // The device protocol is not served yet: the connection is closed at once.
  socket_.Close();
  log_.AddWiFiRecord(ThreadID(), 0, kLevelINF, "Соединение закрыто");
}

}  // namespace orbitrace
