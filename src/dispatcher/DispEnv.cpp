#include "dispatcher/DispEnv.h"

#include <cstdarg>
#include <cstdio>

#include "platform/FileSystem.h"

namespace orbitrace {

void DispEnv::Logf(int level, const char* format, ...) const {
  if (!log.Passes(LogChannel::DispLog, level)) return;
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  Log(level, buf);
}

void DispEnv::LogException(std::string_view where, const char* message) const {
  std::string line = "Исключение в ";
  line.append(where).append(message);
  Log(kLevelALW, line);
}

std::string DispEnv::DeviceFolder(uint32_t serial) const {
  return orbitrace::DeviceFolder(settings.DataFolder, serial);
}

}  // namespace orbitrace
