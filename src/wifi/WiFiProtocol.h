// The WiFi port's message layout and the pieces every handler of a WiFi connection shares: the
// 22-byte header, the commands, the checksum, the shared idle limit, the reply frames, and the
// environment (peer, log, folders, registry, clock) a connection's handlers work in.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logging/Debug.h"
#include "platform/Socket.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

// Commands: the low byte of the header's command field.
enum TWiFiCommand : int8_t {
  wcDataBin = 1,
  wcConfig = 2,
  wcDataSbinFramed = 4,
  wcConfigFramed = 5,
  wcDataSbin = 6,
  wcEpoRequest = 7,
  wcIdentify = 64,
  wcNamedFile = 65,
};

// Why the last accepted header's device is refused.
enum TRejectReason : uint8_t {
  rrNone = 0,
  rrNotServed = 1,
  rrBadPassword = 2,
};

inline constexpr size_t kWiFiHeaderSize = 22;
inline constexpr uint32_t kWiFiMaxMessage = 3145728;  // total length, header included
inline constexpr uint32_t kWiFiMinSerial = 10000;
inline constexpr uint32_t kWiFiMaxSerial = 9999999;
// Commands 1 and 6 from this serial on end their data block in a checksum trailer.
inline constexpr uint32_t kWiFiTrailerSerial = 91000;
inline constexpr size_t kWiFiReceiveBufferSize = 65535;

inline constexpr uint32_t kIdleLimitShort = 30000;
inline constexpr uint32_t kIdleLimitIdentify = 60000;
inline constexpr uint32_t kIdleLimitLong = 3600000;

// The silence a WiFi connection tolerates, shared by every connection of the process: each
// header with a header length of 22 sets it from its command byte.
inline std::atomic<uint32_t> WiFiIdleLimit{kIdleLimitLong};

// The limit a header's command byte sets (for any byte, valid or not).
uint32_t IdleLimitForCommand(uint8_t command);
bool IsWiFiCommand(uint8_t command);
// Commands 1, 2, 4, 5 and 6: the ones a refused device may not send at all.
bool IsFileCommand(uint8_t command);

struct TWiFiHeader {
  uint32_t totalLength = 0;
  uint16_t command = 0;
  uint16_t headerLength = 0;
  uint16_t checksum = 0;
  uint32_t serial = 0;
  std::array<char, 8> password{};
};

// Reads the header from the first kWiFiHeaderSize bytes of `p`.
TWiFiHeader ParseWiFiHeader(const unsigned char* p);
void StoreWiFiHeader(const TWiFiHeader& header, unsigned char* p);

// The header checks in the order they are made; the first that fails names the fault.
enum class THeaderCheck { Ok, BadHeaderLength, BadCommand, BadSerial, BadTotalLength };
THeaderCheck CheckWiFiHeader(const TWiFiHeader& header);

// 16-bit ones' complement sum of little-endian words (a last odd byte is the low byte of a
// word), with end-around carry and without the final complement. The count is a 16-bit
// quantity: a longer block is summed over its first `count` mod 65,536 bytes.
uint16_t WiFiChecksum(const void* data, size_t count);

// Checks a complete message's data block by the rule of its command. For commands 1 and 6 from
// trailer serials the 2-byte trailer is taken off `length` whether or not the check passed.
bool PassesChecksumRule(uint8_t command, uint32_t serial, uint16_t headerChecksum,
                        const unsigned char* data, uint32_t& length);

// The peer end of a WiFi connection as the handlers use it.
class IWiFiLink {
 public:
  virtual ~IWiFiLink() = default;
  // Sends every byte; a failure is not reported (the next receive notices a dead peer).
  virtual void Send(const void* data, size_t size) = 0;
  virtual PollResult WaitReadable(uint32_t timeoutMs) = 0;
  // One receive: the byte count, 0 when the peer closed, -1 on failure.
  virtual long Receive(void* buffer, size_t size) = 0;
  // The error number of the last failed wait or receive.
  virtual int LastError() const = 0;
};

// A connected socket as a link.
class TSocketLink final : public IWiFiLink {
 public:
  explicit TSocketLink(Socket& socket) : socket_(socket) {}
  void Send(const void* data, size_t size) override { socket_.SendAll(data, size); }
  PollResult WaitReadable(uint32_t timeoutMs) override { return socket_.WaitReadable(timeoutMs); }
  long Receive(void* buffer, size_t size) override { return socket_.Receive(buffer, size); }
  int LastError() const override { return socket_.LastError(); }

 private:
  Socket& socket_;
};

// Tunables of a WiFi connection; the defaults are the service's values. Tests shorten them.
struct TWiFiOptions {
  // Longest wait for the socket to become readable before the idle test runs again.
  uint32_t pollIntervalMs = 1000;
  // Longest wait for a device's acknowledgement of an assisted-GPS chunk.
  uint32_t epoAckTimeoutMs = 10000;
  // Allocates a message's data buffer; nullptr when it cannot be had.
  std::unique_ptr<char[]> (*allocate)(size_t size) = nullptr;  // nullptr: operator new (nothrow)
};

// A buffer of `size` bytes from the options' allocator; nullptr when it cannot be had.
std::unique_ptr<char[]> AllocateBuffer(const TWiFiOptions& options, size_t size);

// Everything the handlers of one connection use.
struct TWiFiEnv {
  IWiFiLink& link;
  TDebugWriter& log;
  uint32_t threadId;
  const TSettings& settings;
  TConnContext& context;
  TWiFiOptions options;

  void Log(uint32_t serial, int level, std::string_view text) const {
    log.AddWiFiRecord(threadId, serial, level, text);
  }
};

// The header fields a reply echoes.
struct TWiFiRequest {
  uint8_t command = 0;
  uint32_t serial = 0;
  std::array<char, 8> password{};
};

// A framed reply: the header (total length, the request's command byte sign-extended, header
// length 22, the checksum, the request's serial and password) followed by `payload`. The
// checksum field is WiFiChecksum of the payload when `withChecksum`, else 0.
std::string BuildWiFiFrame(const TWiFiRequest& request, std::string_view payload,
                           bool withChecksum);
void SendFramed(const TWiFiEnv& env, const TWiFiRequest& request, std::string_view payload,
                bool withChecksum);
void SendPlain(const TWiFiEnv& env, std::string_view text);

// printf-style formatting of a log text.
std::string WiFiText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace orbitrace
