// Helpers shared by the tests: scratch folders, file reading, a controllable clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/Clock.h"

namespace orbitrace::test {

// A fresh empty folder under /tmp, removed with everything in it when the object dies.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Clock whose time and tick counter the test sets.
class FakeClock : public Clock {
 public:
  uint32_t TickCount() const override { return tick.load(); }
  int64_t UnixMillis() const override { return millis.load(); }
  // Sets the wall clock to a local date and time.
  void SetLocal(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
  std::atomic<uint32_t> tick{0};
  std::atomic<int64_t> millis{0};
};

// Unique name prefix for the named mutexes of this test process.
std::string UniqueIpcPrefix();

}  // namespace orbitrace::test
