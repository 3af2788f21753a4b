// The message side of a WiFi connection: assembles requests (a 22-byte header and its data
// block) from the received chunks, judges each header and its device, and dispatches every
// complete message to its handler. One per connection, used by its thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "wifi/WiFiProtocol.h"

namespace orbitrace {

class TWiFiMessageAssembler {
 public:
  explicit TWiFiMessageAssembler(const TWiFiEnv& env);
  TWiFiMessageAssembler(const TWiFiMessageAssembler&) = delete;
  TWiFiMessageAssembler& operator=(const TWiFiMessageAssembler&) = delete;

  // Takes one received chunk (at least one byte). False ends the connection: "FINISH" between
  // messages, a first chunk shorter than a header, a bad header, a chunk that runs past the
  // announced message, a file command from a refused device, or a data buffer that cannot be
  // allocated.
  bool DeviceConnRead(const char* chunk, size_t length);

  // Forgets the message in progress; the last header's command and rejection reason stay.
  void ResetMessage();

  bool MessageInProgress() const { return expectedLength_ > 0; }
  uint8_t Command() const { return static_cast<uint8_t>(command_); }
  TRejectReason RejectReason() const { return static_cast<TRejectReason>(rejectReason_); }

 private:
  bool TakeHeader(const unsigned char* chunk, size_t length);
  void Dispatch();

  TWiFiEnv env_;
  uint32_t expectedLength_ = 0;  // data block length of the message in progress
  uint32_t receivedLength_ = 0;
  uint32_t serial_ = 0;
  uint16_t headerChecksum_ = 0;
  int8_t command_ = 0;
  uint8_t rejectReason_ = rrNone;
  std::unique_ptr<char[]> data_;
  std::array<char, 9> password_{};
};

}  // namespace orbitrace
