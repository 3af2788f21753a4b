#include "logging/Journal.h"

#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace orbitrace {

void TJournal::SetFile(std::string path) {
  std::lock_guard<std::mutex> lock(configMu_);
  file_ = std::move(path);
}

void TJournal::SetMutex(NamedMutex* mutex) {
  std::lock_guard<std::mutex> lock(configMu_);
  mutex_ = mutex;
}

void TJournal::WriteJournal(std::string_view message) noexcept {
  try {
    std::string path;
    NamedMutex* mutex = nullptr;
    {
      std::lock_guard<std::mutex> lock(configMu_);
      path = file_;
      mutex = mutex_;
    }
    NamedLock lock(mutex, 1000);
    if (!lock || path.empty()) return;
    File f;
    if (!f.Open(path, Access::Write, Share::Read, Disposition::OpenAlways)) return;
    if (f.SeekEnd() < 0) return;
    const std::string prefix = FormatLogTime(clock_.Now()) + " ";
    f.Write(prefix);
    f.Write(Utf8ToCp1251(message));
    f.Write("\r\n", 2);
  } catch (...) {
    // Out of memory while formatting: the message is lost, the caller is never told.
  }
}

}  // namespace orbitrace
