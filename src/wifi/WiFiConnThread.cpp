#include "wifi/WiFiConnThread.h"

#include <exception>
#include <memory>
#include <string>

namespace orbitrace {

TWiFiConnThread::TWiFiConnThread(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                                 TConnContext& context, const TWiFiOptions& options)
    : TThread(ConnectionStackSize()),
      socket_(std::move(socket)),
      log_(logWriter),
      settings_(settings),
      context_(context),
      options_(options),
      link_(socket_),
      assembler_(TWiFiEnv{link_, log_, ThreadID(), settings_, context_, options_}) {}

void TWiFiConnThread::Execute() {
  try {
    ReceiveLoop();
  } catch (const std::exception& e) {
    assembler_.ResetMessage();
    socket_.Close();
    Log(kLevelALW, std::string("Исключение в TWiFiConnThread::Execute.") + e.what());
  }
}

void TWiFiConnThread::ReceiveLoop() {
  const std::unique_ptr<char[]> buffer = AllocateBuffer(options_, kWiFiReceiveBufferSize);
  if (!buffer) {
    socket_.Close();
    Log(kLevelERR, "Нет памяти для буфера приема");
    Log(kLevelINF, "Соединение закрыто");
    return;
  }
  const Clock& clock = context_.clock;
  bool connected = true;
  uint32_t lastActivity = clock.TickCount();
  // The wait for data is at most one poll interval, so that the idle limit and a stop request
  // are looked at about once a second while the device is silent.
  const uint32_t waitMs = options_.pollIntervalMs == 0 ? 1 : options_.pollIntervalMs;
  while (!Terminated() && connected) {
    const long received = socket_.ReceiveWithin(buffer.get(), kWiFiReceiveBufferSize, waitMs);
    if (received > 0) {
      lastActivity = clock.TickCount();
      Log(kLevelDVL, WiFiText("Принят запрос %d байт", static_cast<int>(received)));
      if (!assembler_.DeviceConnRead(buffer.get(), static_cast<size_t>(received))) {
        connected = false;
        Log(kLevelDVL, "DeviceConnRead return error");
      }
    } else if (received == 0) {
      connected = false;
      Log(kLevelDVL, "Close on recv");
    } else if (received == Socket::kReceiveWaitFailed) {
      connected = false;
      Log(kLevelINF, WiFiText("select error %d", socket_.LastError()));
    } else if (received != Socket::kReceiveTimedOut) {
      connected = false;
      Log(kLevelDVL, WiFiText("Recv error %d", socket_.LastError()));
    }
    if (TickDiff(lastActivity, clock.TickCount()) > WiFiIdleLimit.load()) {
      Log(kLevelINF, "Таймаут соединения");
      connected = false;
    }
  }
  assembler_.ResetMessage();
  socket_.Close();
  Log(kLevelDVL, WiFiText("Term=%d, Con=%d", Terminated() ? 1 : 0, connected ? 1 : 0));
  Log(kLevelINF, "Соединение закрыто");
}

}  // namespace orbitrace
