#include "platform/Process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace orbitrace {

std::string ExecutablePath() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

namespace {
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

void BlockStopSignals() {
  signal(SIGPIPE, SIG_IGN);
  const sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StartStopSignalWatcher(std::function<void()> onStop) {
  std::thread([onStop = std::move(onStop)] {
    const sigset_t set = StopSignals();
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0) onStop();
    }
  }).detach();
}

void NotifyServiceReady() {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const size_t len = std::strlen(path);
  if (len >= sizeof addr.sun_path) return;
  std::memcpy(addr.sun_path, path, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract socket
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  static const char kMsg[] = "READY=1";
  const socklen_t alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  sendto(fd, kMsg, sizeof kMsg - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), alen);
  close(fd);
}

void RaiseOpenFileLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace orbitrace
