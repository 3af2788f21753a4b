// One dispatcher client. The connection reads what the client sends, puts the chunks together
// into one request, checks its framing, hands the complete request to the handler of its type,
// which sends the one answer, and then ends: a connection carries exactly one request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "dispatcher/DispEnv.h"
#include "logging/Debug.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

struct DispTimings {
  // Longest wait for the client to send anything.
  uint32_t receiveWaitMs = 30000;
  // Longest gap allowed between two chunks of one request (more than this drops it).
  uint32_t chunkGapMs = 20000;
  // Longest time an answer may make no progress because the client does not read it.
  uint32_t sendWaitMs = 30000;
};

// The request assembly and dispatch of one connection, apart from its socket: the thread feeds
// it the chunks it receives, and answers go out through `send`.
class TDispConnection {
 public:
  TDispConnection(const DispEnv& env, AnswerSender send, uint32_t chunkGapMs);

  // Takes one received chunk; false when the connection is to end (request handled, refused,
  // too long or too late).
  bool DispatcherConnRead(const uint8_t* chunk, size_t length);
  // Whether the part received so far of an incomplete request can still become a valid one.
  bool CheckRequest() const;
  // Hands a complete request to the handler of its type; true when it was handled.
  bool RecoveryRequest();

  // Drops any pending request.
  void Reset();

 private:
  DispEnv env_;
  AnswerSender send_;
  uint32_t chunkGapMs_;
  // The request being put together, exactly its announced length.
  std::unique_ptr<uint8_t[]> pending_;
  uint32_t expectedLength_ = 0;
  uint32_t receivedLength_ = 0;
  // Tick count when the last chunk of the pending request arrived.
  uint32_t lastChunkTick_ = 0;
};

class TDispConnProc : public TThread {
 public:
  // Created suspended with a small stack; the listener logs the client and resumes it.
  TDispConnProc(Socket socket, TDebugWriter& logWriter, const TSettings& settings,
                TConnContext& context, DispTimings timings = {});

 protected:
  void Execute() override;

 private:
  // Size of the one receive buffer of a connection.
  static constexpr size_t kReceiveBufferSize = 0xFFFF;

  Socket socket_;
  DispEnv env_;
  DispTimings timings_;
};

}  // namespace orbitrace
