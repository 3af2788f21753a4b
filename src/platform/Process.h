// Process-level facilities: the executable's path, thread IDs, sleeping, stop signals, the
// service manager's readiness notification, resource limits and leaving the process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace orbitrace {

// Full path of the running executable ("" when unknown).
std::string ExecutablePath();
// Kernel ID of the calling thread.
uint32_t CurrentThreadId();
void SleepMs(uint32_t ms);

// Blocks SIGTERM and SIGINT in the calling thread (and every thread it creates later) and
// ignores SIGPIPE. Call before any thread is created.
void BlockStopSignals();
// Starts a thread that waits for SIGTERM or SIGINT and calls `onStop` for each one.
void StartStopSignalWatcher(std::function<void()> onStop);

// Tells the service manager the service is ready, when NOTIFY_SOCKET is set. No-op otherwise.
void NotifyServiceReady();

// Raises the soft limit of open files to the hard limit.
void RaiseOpenFileLimit();

// Ends the process at once with `code`, without running static destructors (worker threads
// may still be running and using process-wide objects).
[[noreturn]] void ExitProcess(int code);

}  // namespace orbitrace
