// What the dispatcher request checks and handlers of one connection work with: the log writer
// and the thread ID their lines go under, the settings (data folder, billing flag) and the
// connection context (clock, device registry).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "logging/Debug.h"
#include "registry/Layout.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace {

// Sends one whole answer on the connection; false unless every byte was accepted.
using AnswerSender = std::function<bool(const uint8_t* data, size_t size)>;

struct DispEnv {
  TDebugWriter& log;
  const TSettings& settings;
  TConnContext& context;
  uint32_t threadId = 0;

  void Log(int level, std::string_view text) const { log.AddDispRecord(threadId, text, level); }
  // A line formatted with printf rules.
  void Logf(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));
  // "Исключение в <where>" directly followed by the exception's message, always written.
  void LogException(std::string_view where, const char* message) const;

  // The device folder of `serial`: the data folder and the serial as seven digits. Empty when
  // the serial is outside 1..9999999 or no data folder is configured, so that such a request
  // never reaches a path.
  std::string DeviceFolder(uint32_t serial) const;
};

}  // namespace orbitrace
