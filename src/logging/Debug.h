// The log writer: producers on any thread format a record and append it to their channel's
// queue under the channel's named mutex; the writer thread moves whole queues to the channel
// files. Also the channel file naming and the clean-up of old split files.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logging/LogSettings.h"
#include "platform/Clock.h"
#include "platform/NamedMutex.h"
#include "platform/Thread.h"

namespace orbitrace {

// Record levels.
constexpr int kLevelDVL = 1;
constexpr int kLevelINF = 2;
constexpr int kLevelERR = 3;
constexpr int kLevelALW = 4;

// Channels in flush order.
enum class LogChannel { DispLog, DeviceLog, WiFiLog, RedirectLog, YaProbkiLog };
constexpr size_t kLogChannelCount = 5;

const char* ChannelName(LogChannel channel);
const char* ChannelMutexName(LogChannel channel);
const char* LevelName(int level);

// Full path of a channel's file for the moment `now` (split by day, week or month, or not).
std::string LogFileName(const LogSettings& settings, std::string_view channel,
                        const LocalDateTime& now);

// "[dd.mm.yyyy hh:mm:ss]" of a local time.
std::string FormatLogTime(const LocalDateTime& t);

class TDebugWriter : public TThread {
 public:
  TDebugWriter(LogSettings& settings, const Clock& clock, uint32_t idleSleepMs = 100);
  ~TDebugWriter() override;

  // Opens the five channel mutexes; until then every record is dropped.
  void CreateLogMutexes();

  // Whether a record of `level` on `channel` is written with the settings now in force, so that
  // a caller can skip formatting a record that would be dropped.
  bool Passes(LogChannel channel, int level) const;
  void AddDispRecord(uint32_t threadId, std::string_view text, int level);
  void AddWiFiRecord(uint32_t threadId, uint32_t serial, int level, std::string_view text);

  // One flush pass over every channel in order; true when any channel wrote lines.
  bool FlushPass();

 protected:
  void Execute() override;

 private:
  struct Channel {
    std::unique_ptr<NamedMutex> owner;  // set once by CreateLogMutexes
    // The mutex as producers and the writer thread see it: published after it was created,
    // since the writer thread already runs while the service start creates it.
    std::atomic<NamedMutex*> mutex{nullptr};
    std::vector<std::string> queue;
  };

  void Queue(LogChannel channel, std::string line);
  bool Flush(LogChannel channel);

  LogSettings& settings_;
  const Clock& clock_;
  uint32_t idleSleepMs_;
  std::array<Channel, kLogChannelCount> channels_;
};

// The hourly clean-up of split log files older than LogStorageTime days. Returns false when
// splitting is off, which tells the caller to disable the clean-up timer.
class TLogRetention {
 public:
  TLogRetention(const LogSettings& settings, const Clock& clock)
      : settings_(settings), clock_(clock) {}
  bool ManageLogFiles();

 private:
  const LogSettings& settings_;
  const Clock& clock_;
  uint32_t lastCleanupTick_ = 0;
};

}  // namespace orbitrace
