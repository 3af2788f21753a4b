// The service journal: short, always-on record of the service's own life, written
// synchronously by the calling thread, one time-stamped line per message.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/NamedMutex.h"

namespace orbitrace {

class TJournal {
 public:
  explicit TJournal(const Clock& clock) : clock_(clock) {}

  // Set by the service start before the first message.
  void SetFile(std::string path);
  void SetMutex(NamedMutex* mutex);

  // Appends "[dd.mm.yyyy hh:mm:ss] " + message + CR LF in CP1251. Never raises; a message that
  // cannot be written (mutex busy, file locked or not writable) is lost.
  void WriteJournal(std::string_view message) noexcept;

 private:
  const Clock& clock_;
  std::mutex configMu_;
  std::string file_;
  NamedMutex* mutex_ = nullptr;
};

}  // namespace orbitrace
