#include "dispatcher/DicpConnThread.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "dispatcher/DispHandlers.h"
#include "dispatcher/DispProtocol.h"
#include "dispatcher/WireFormat.h"

namespace orbitrace {

// ---- TDispConnection ----

TDispConnection::TDispConnection(const DispEnv& env, AnswerSender send, uint32_t chunkGapMs)
    : env_(env), send_(std::move(send)), chunkGapMs_(chunkGapMs) {}

void TDispConnection::Reset() {
  pending_.reset();
  expectedLength_ = 0;
  receivedLength_ = 0;
}

bool TDispConnection::DispatcherConnRead(const uint8_t* chunk, size_t length) {
  try {
    const uint32_t now = env_.context.clock.TickCount();
    if (pending_ && TickDiff(lastChunkTick_, now) > chunkGapMs_) {
      Reset();
      env_.Log(kLevelDVL, "Таймаут соединения.");
      return false;
    }
    if (!pending_) {
      // A start that is too short or announces an impossible request is dropped; the next chunk
      // is taken as a new start.
      if (length < 6) return true;
      const uint32_t total = GetU32(chunk);
      const uint32_t elementSize = ElementSize(GetU16(chunk + 4));
      if (length > total || total < kRequestHeaderSize || total > kMaxRequestLength ||
          (total - kRequestHeaderSize) % elementSize != 0)
        return true;
      pending_.reset(new uint8_t[total]);
      std::copy(chunk, chunk + length, pending_.get());
      expectedLength_ = total;
      receivedLength_ = static_cast<uint32_t>(length);
      lastChunkTick_ = now;
    } else {
      if (length > expectedLength_ - receivedLength_) {
        Reset();
        env_.Log(kLevelDVL, "Неверная длинна.");
        return false;
      }
      std::copy(chunk, chunk + length, pending_.get() + receivedLength_);
      receivedLength_ += static_cast<uint32_t>(length);
      lastChunkTick_ = now;
    }

    if (receivedLength_ == expectedLength_) {
      env_.Log(kLevelDVL, "Запрос корректный.");
      if (!RecoveryRequest()) env_.Log(kLevelDVL, "Запрос не обработан.");
      Reset();
      return false;
    }
    env_.Log(kLevelDVL, "Запрос незавершенный.");
    if (CheckRequest()) return true;
    Reset();
    env_.Log(kLevelDVL, "Запрос не корректный.");
    return false;
  } catch (const std::exception& e) {
    Reset();
    env_.LogException("DispatcherConnRead.", e.what());
    return false;
  }
}

bool TDispConnection::CheckRequest() const {
  try {
    const uint32_t received = receivedLength_;
    if (received < 6) return true;
    const uint8_t* r = pending_.get();
    const uint16_t type = GetU16(r + 4);
    if (!IsKnownRequestType(type)) return false;
    if (received < kRequestHeaderSize) return true;
    const uint32_t count = GetU32(r + 6);
    const uint32_t elementSize = ElementSize(type);
    if ((expectedLength_ - kRequestHeaderSize) % elementSize != 0 ||
        static_cast<uint64_t>(expectedLength_) !=
            static_cast<uint64_t>(elementSize) * count + kRequestHeaderSize ||
        count > kMaxElements)
      return false;
    uint32_t offset = kRequestHeaderSize;
    for (uint32_t i = 0; i < count; ++i, offset += elementSize) {
      const uint32_t arrived = received - offset;
      if (received <= offset || arrived < 4) break;
      if (GetU32(r + offset) != elementSize) return false;
      if (arrived < 8) break;
      if (!ValidSerial(GetU32(r + offset + 4))) return false;
      if (arrived < elementSize) break;
    }
    return true;
  } catch (const std::exception& e) {
    env_.LogException("CheckRequest.", e.what());
    return false;
  }
}

bool TDispConnection::RecoveryRequest() {
  const uint8_t* r = pending_.get();
  const uint16_t type = GetU16(r + 4);
  if (!IsKnownRequestType(type)) return false;
  switch (type) {
    case kReqSetRoute:
      return RouteRecord(env_, r, receivedLength_, send_);
    case kReqLastPosition:
      return GetLastPosition(env_, r, receivedLength_, send_);
    default:
      return DataRequest(env_, r, receivedLength_, send_);
  }
}

// ---- TDispConnProc ----

TDispConnProc::TDispConnProc(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                             TConnContext& context, DispTimings timings)
    : TThread(ConnectionStackSize()),
      socket_(std::move(socket)),
      env_{logWriter, settings, context, ThreadID()},
      timings_(timings) {}

void TDispConnProc::Execute() {
  try {
    // A client that stops reading its answer may not keep the connection (and the answer's
    // memory) for ever.
    TDispConnection connection(
        env_,
        [this](const uint8_t* data, size_t size) {
          return socket_.SendAllWithin(data, size, timings_.sendWaitMs);
        },
        timings_.chunkGapMs);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReceiveBufferSize]);
    bool goOn = true;
    while (goOn && !Terminated()) {
      const long got = socket_.ReceiveOrWait(buffer.get(), kReceiveBufferSize,
                                             std::max<uint32_t>(timings_.receiveWaitMs, 1));
      if (got <= 0) break;
      env_.Logf(kLevelDVL, "Принят запрос %d б.", static_cast<int>(got));
      goOn = connection.DispatcherConnRead(buffer.get(), static_cast<size_t>(got));
    }
  } catch (const std::exception& e) {
    env_.LogException("TDispConnProc::Execute.", e.what());
  }
  socket_.Close();
  env_.Log(kLevelDVL, "Соединение закрыто.");
}

}  // namespace orbitrace
