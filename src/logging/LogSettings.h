// The logging keys of the configuration. Worker threads read them without a lock while a
// reload on the main thread may change them, so each is a single atomic value.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace orbitrace {

struct LogSettings {
  std::atomic<bool> writeLog{true};
  std::atomic<int32_t> logLevel{1};
  std::atomic<int32_t> enableLogSplit{1};
  std::atomic<int32_t> logSplitTime{1};
  std::atomic<int32_t> logStorageTime{30};
  std::atomic<bool> writeDeviceLog{true};
  std::atomic<bool> writeDispatcherLog{true};
  std::atomic<bool> writeWiFiLog{true};
  std::atomic<bool> writeRedirectLog{true};
  std::atomic<bool> writeYandexLog{true};

  // Folder of the channel files, ending in '/'.
  std::string LogFolder() const {
    std::lock_guard<std::mutex> lock(mu_);
    return logFolder_;
  }
  void SetLogFolder(std::string folder) {
    std::lock_guard<std::mutex> lock(mu_);
    logFolder_ = std::move(folder);
  }

 private:
  mutable std::mutex mu_;
  std::string logFolder_;
};

}  // namespace orbitrace
