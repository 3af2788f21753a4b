// Helpers shared by the tests: scratch folders, file reading, a controllable clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

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

namespace orbitrace::test {

// The server executable run in a scratch program folder, for integration tests.
class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();  // kills the process if it still runs
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts `orbitrace-server run --program-dir programDir` with ORBITRACE_IPC_PREFIX set to
  // this test process's prefix. Output goes to programDir/server.out.
  void Start(const std::string& programDir);
  // Sends a signal (default SIGTERM).
  void Signal(int sig = 15);
  // Waits up to `timeoutMs` for the process to end; its exit status, or -1 on time-out, or
  // 128 + signal number when a signal ended it.
  int WaitExit(int timeoutMs);
  int pid() const { return pid_; }

 private:
  int pid_ = -1;
};

// Polls `condition` every 20 ms for up to `timeoutMs`; true as soon as it holds.
template <typename F>
bool WaitUntil(F condition, int timeoutMs);

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();

// Writes programDir/OrbitraceServer.ini with the two ports and the log level.
void WritePortsConfig(const std::string& programDir, uint16_t dispatcherPort, uint16_t wifiPort,
                      int logLevel = 2);
// The journal's lines (UTF-8) without their time stamps.
std::vector<std::string> JournalLines(const std::string& programDir);
// Every file of a log channel ("DispLog", "WiFiLog") in programDir/Logs, as UTF-8.
std::string ChannelLog(const std::string& programDir, const std::string& channel);

// A TCP client socket connected to 127.0.0.1:port, retrying for up to `timeoutMs` while nobody
// listens yet; closed when the object dies.
class LoopbackClient {
 public:
  LoopbackClient(uint16_t port, int timeoutMs);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;
  bool connected() const { return fd_ >= 0; }
  // The client's own port, as the server sees it.
  uint16_t localPort() const;

 private:
  int fd_ = -1;
};

// Runs the server executable with `args` (this test process's IPC prefix); its exit status and
// what it printed on standard output.
struct CommandResult {
  int status = -1;
  std::string out;
};
CommandResult RunServerCommand(const std::string& args);

}  // namespace orbitrace::test

#include <chrono>
#include <thread>

template <typename F>
bool orbitrace::test::WaitUntil(F condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
