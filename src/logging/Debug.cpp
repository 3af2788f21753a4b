#include "logging/Debug.h"

#include <cstdio>

#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"

namespace orbitrace {

namespace {

constexpr uint32_t kChannelWaitMs = 1000;
constexpr uint32_t kCleanupPeriodMs = 3600000;

size_t Index(LogChannel c) {
  return static_cast<size_t>(c);
}

constexpr LogChannel kFlushOrder[kLogChannelCount] = {LogChannel::DispLog, LogChannel::DeviceLog,
                                                      LogChannel::WiFiLog, LogChannel::RedirectLog,
                                                      LogChannel::YaProbkiLog};

}  // namespace

const char* ChannelName(LogChannel channel) {
  switch (channel) {
    case LogChannel::DispLog:
      return "DispLog";
    case LogChannel::DeviceLog:
      return "DeviceLog";
    case LogChannel::WiFiLog:
      return "WiFiLog";
    case LogChannel::RedirectLog:
      return "RedirectLog";
    case LogChannel::YaProbkiLog:
      return "YaProbkiLog";
  }
  return "";
}

const char* ChannelMutexName(LogChannel channel) {
  switch (channel) {
    case LogChannel::DispLog:
      return "OrbitraceServerDispLogMutex";
    case LogChannel::DeviceLog:
      return "OrbitraceServerDeviceLogMutex";
    case LogChannel::WiFiLog:
      return "OrbitraceServerWiFiLogMutex";
    case LogChannel::RedirectLog:
      return "OrbitraceServerRedirectLogMutex";
    case LogChannel::YaProbkiLog:
      return "OrbitraceServerYandexLogMutex";
  }
  return "";
}

const char* LevelName(int level) {
  switch (level) {
    case kLevelDVL:
      return "DVL";
    case kLevelINF:
      return "INF";
    case kLevelERR:
      return "ERR";
    case kLevelALW:
      return "ALW";
    default:
      return "";
  }
}

std::string FormatLogTime(const LocalDateTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "[%02d.%02d.%04d %02d:%02d:%02d]", t.day, t.month, t.year, t.hour,
                t.minute, t.second);
  return buf;
}

std::string LogFileName(const LogSettings& settings, std::string_view channel,
                        const LocalDateTime& now) {
  std::string name = settings.LogFolder();
  name.append(channel);
  if (settings.enableLogSplit.load() == 0) {
    name.append(".log");
    return name;
  }
  Date d{now.year, now.month, now.day};
  const int32_t split = settings.logSplitTime.load();
  char suffix[32];
  if (split == 2) {
    d = MondayOf(d);
    std::snprintf(suffix, sizeof suffix, "_%02u%02u%02u.log", static_cast<unsigned>(d.year % 100),
                  static_cast<unsigned>(d.month), static_cast<unsigned>(d.day));
  } else if (split == 3) {
    std::snprintf(suffix, sizeof suffix, "_%02u%02u01.log", static_cast<unsigned>(d.year % 100),
                  static_cast<unsigned>(d.month));
  } else {
    std::snprintf(suffix, sizeof suffix, "_%02u%02u%02u.log", static_cast<unsigned>(d.year % 100),
                  static_cast<unsigned>(d.month), static_cast<unsigned>(d.day));
  }
  name.append(suffix);
  return name;
}

TDebugWriter::TDebugWriter(LogSettings& settings, const Clock& clock, uint32_t idleSleepMs)
    : settings_(settings), clock_(clock), idleSleepMs_(idleSleepMs) {
  settings_.writeDeviceLog = true;
  settings_.writeDispatcherLog = true;
  settings_.writeWiFiLog = true;
  settings_.writeRedirectLog = true;
  settings_.writeYandexLog = true;
}

TDebugWriter::~TDebugWriter() {
  Terminate();
  WaitFor();
}

void TDebugWriter::CreateLogMutexes() {
  for (LogChannel c : kFlushOrder) {
    Channel& ch = channels_[Index(c)];
    if (ch.owner) continue;
    ch.owner = NamedMutex::Create(ChannelMutexName(c));
    ch.mutex.store(ch.owner.get(), std::memory_order_release);
  }
}

bool TDebugWriter::Passes(LogChannel channel, int level) const {
  if (level == kLevelALW) return true;
  if (!settings_.writeLog.load()) return false;
  bool enabled = false;
  switch (channel) {
    case LogChannel::DispLog:
      enabled = settings_.writeDispatcherLog.load();
      break;
    case LogChannel::DeviceLog:
      enabled = settings_.writeDeviceLog.load();
      break;
    case LogChannel::WiFiLog:
      enabled = settings_.writeWiFiLog.load();
      break;
    case LogChannel::RedirectLog:
      enabled = settings_.writeRedirectLog.load();
      break;
    case LogChannel::YaProbkiLog:
      enabled = settings_.writeYandexLog.load();
      break;
  }
  return enabled && level >= settings_.logLevel.load();
}

void TDebugWriter::Queue(LogChannel channel, std::string line) {
  Channel& ch = channels_[Index(channel)];
  NamedLock lock(ch.mutex.load(std::memory_order_acquire), kChannelWaitMs);
  if (!lock) return;
  ch.queue.push_back(std::move(line));
}

void TDebugWriter::AddDispRecord(uint32_t threadId, std::string_view text, int level) {
  if (!Passes(LogChannel::DispLog, level)) return;
  std::string body;
  if (settings_.logLevel.load() == 1) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "ИД:%7d\t", static_cast<int32_t>(threadId));
    body = prefix;
  }
  body.append(text);
  std::string line = FormatLogTime(clock_.Now());
  line.append(" [").append(LevelName(level)).append("]\t").append(body);
  Queue(LogChannel::DispLog, std::move(line));
}

void TDebugWriter::AddWiFiRecord(uint32_t threadId, uint32_t serial, int level,
                                 std::string_view text) {
  if (!Passes(LogChannel::WiFiLog, level)) return;
  char prefix[96];
  if (settings_.logLevel.load() == 1) {
    std::snprintf(prefix, sizeof prefix, "ИД:%7d\tПрибор:%7d\t", static_cast<int32_t>(threadId),
                  static_cast<int32_t>(serial));
  } else {
    std::snprintf(prefix, sizeof prefix, "Прибор:%7d\t", static_cast<int32_t>(serial));
  }
  std::string line = FormatLogTime(clock_.Now());
  line.append(" [").append(LevelName(level)).append("]\t").append(prefix).append(text);
  Queue(LogChannel::WiFiLog, std::move(line));
}

bool TDebugWriter::Flush(LogChannel channel) {
  Channel& ch = channels_[Index(channel)];
  std::vector<std::string> lines;
  {
    NamedLock lock(ch.mutex.load(std::memory_order_acquire), kChannelWaitMs);
    if (!lock || ch.queue.empty()) return false;
    lines.swap(ch.queue);
  }
  // File work happens outside the lock, so a slow disk never blocks a producer.
  std::string data;
  for (const std::string& l : lines) {
    data.append(Utf8ToCp1251(l));
    data.append("\r\n");
  }
  File f;
  const std::string path = LogFileName(settings_, ChannelName(channel), clock_.Now());
  if (f.Open(path, Access::Write, Share::ReadWrite, Disposition::OpenAlways) && f.SeekEnd() >= 0) {
    f.Write(data);
  }
  return true;
}

bool TDebugWriter::FlushPass() {
  bool busy = false;
  for (LogChannel c : kFlushOrder) busy = Flush(c) || busy;
  return busy;
}

void TDebugWriter::Execute() {
  while (!Terminated()) {
    if (!FlushPass()) SleepMs(idleSleepMs_);
  }
  FlushPass();
}

bool TLogRetention::ManageLogFiles() {
  if (settings_.enableLogSplit.load() == 0) return false;
  const uint32_t now = clock_.TickCount();
  if (TickDiff(lastCleanupTick_, now) <= kCleanupPeriodMs) return true;
  lastCleanupTick_ = now;

  const LocalDateTime local = clock_.Now();
  const double nowOle = ToOleDateTime(local);
  const int32_t storage = settings_.logStorageTime.load();
  const std::string folder = settings_.LogFolder();
  for (const DirEntry& e : ListDirectory(folder)) {
    if (e.isDir || e.name.empty() || e.name[0] == '.') continue;
    if (e.name.size() < 4 ||
        !EqualsNoCase(std::string_view(e.name).substr(e.name.size() - 4), ".log"))
      continue;
    const size_t us = e.name.find('_');
    if (us == std::string::npos) continue;
    const std::string digits = e.name.substr(us + 1, 6);
    unsigned y = 0, m = 0, d = 0;
    if (std::sscanf(digits.c_str(), "%2u%2u%2u", &y, &m, &d) != 3) continue;
    if (y > 9999 || m > 12 || d > 31) continue;
    const int year = 2000 + static_cast<int>(y);
    if (!IsValidDate(year, static_cast<int>(m), static_cast<int>(d))) continue;
    const double fileOle = static_cast<double>(
        DaysSinceOleEpoch(Date{year, static_cast<int>(m), static_cast<int>(d)}));
    if (nowOle - fileOle > static_cast<double>(storage)) DeleteFile(JoinPath(folder, e.name));
  }
  return true;
}

}  // namespace orbitrace
