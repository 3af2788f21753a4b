// What the dispatcher benchmarks share: a scratch program folder, the dispatcher listener
// running in this process with a registry that serves the benchmark's devices, loopback clients
// and a clock for the measurements.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "dispatcher/DispModule.h"
#include "dispatcher/WireFormat.h"
#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "service/ConnContext.h"
#include "service/Settings.h"

namespace orbitrace::bench {

inline std::string U32(uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  return std::string(reinterpret_cast<char*>(b), 4);
}
inline std::string U16(uint16_t v) {
  uint8_t b[2];
  PutU16(b, v);
  return std::string(reinterpret_cast<char*>(b), 2);
}

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A scratch folder removed at the end.
struct Scratch {
  Scratch() {
    char tmpl[] = "/tmp/orbitrace-bench-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

// The registry as the service will see it: every lookup takes a lock.
class BenchRegistry : public IDeviceRegistry {
 public:
  explicit BenchRegistry(std::set<uint32_t> served) : served_(std::move(served)) {}
  bool IsDeviceServed(uint32_t serial) const override {
    std::lock_guard<std::mutex> lock(mu_);
    return served_.count(serial) != 0;
  }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t) const override {
    std::lock_guard<std::mutex> lock(mu_);
    return std::nullopt;
  }
  bool CheckDevicePassword(uint32_t, const std::array<char, 8>&) override { return false; }
  uint32_t GetReplacement(uint32_t serial) const override { return serial; }

 private:
  mutable std::mutex mu_;
  std::set<uint32_t> served_;
};

// One request on a connection of its own; the number of answer bytes read until the server
// closed the connection (-1 when the connection failed).
inline long Ask(uint16_t port, const std::string& request, std::vector<char>& buffer) {
  const int fd = ConnectLoopback(port);
  if (fd < 0) return -1;
  long total = -1;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size())) {
    total = 0;
    ssize_t n;
    while ((n = recv(fd, buffer.data(), buffer.size(), 0)) > 0) total += n;
  }
  close(fd);
  return total;
}

// The dispatcher listener with its log writer, on a free loopback port, in this process. The
// objects are never freed: connection threads may still be ending when the benchmark returns.
struct DispatcherUnderTest {
  DispatcherUnderTest(const std::string& programDir, std::set<uint32_t> served, int logLevel)
      : registry(std::move(served)), context(SystemClock::Instance(), registry) {
    const std::string prefix = "orbitrace-bench-" + std::to_string(getpid()) + "-";
    setenv("ORBITRACE_IPC_PREFIX", prefix.c_str(), 1);
    settings.DataFolder = programDir + "/Data";
    ForceDirectories(programDir + "/Logs");
    settings.log.SetLogFolder(programDir + "/Logs/");
    port = FreePort();
    settings.DispatcherPort = port;
    writer = new TDebugWriter(settings.log, SystemClock::Instance());
    settings.log.logLevel = logLevel;
    writer->CreateLogMutexes();
    writer->Resume();
    module = new TDispModule(*writer, settings, context);
    module->Resume();
  }
  void Stop() {
    module->Terminate();
    module->WaitFor();
  }

  TSettings settings;
  BenchRegistry registry;
  TConnContext context;
  TDebugWriter* writer = nullptr;
  TDispModule* module = nullptr;
  uint16_t port = 0;
};

// A minimal loopback server: accepts on a free port and hands each client to `serve`, one
// client after the other on one thread.
class MinimalServer {
 public:
  explicit MinimalServer(std::function<void(int fd)> serve) : serve_(std::move(serve)) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, SOMAXCONN);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
          if (stop_) return;
          continue;
        }
        serve_(client);
        close(client);
      }
    });
  }
  ~MinimalServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }

  uint16_t port = 0;

 private:
  std::function<void(int)> serve_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads exactly `n` bytes; false when the client closed before.
inline bool ReadExactly(int fd, char* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    const ssize_t r = recv(fd, out + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

inline bool SendAllBytes(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t r = send(fd, data, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    data += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Runs `clients` threads that each call `one(clientIndex, requestIndex)` `requests` times;
// the wall time in seconds.
inline double RunClients(int clients, int requests, const std::function<void(int, int)>& one) {
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      for (int r = 0; r < requests; ++r) one(c, r);
    });
  for (auto& t : threads) t.join();
  return Seconds(start);
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Rates in `unit`, printed with `decimals` decimals.
struct RateUnit {
  const char* unit;
  int decimals;
};

struct Medians {
  double baseline = 0;
  double dispatcher = 0;
};

// Measures the baseline and the dispatcher once each to warm up, then `rounds` times in turn
// (so that a slow moment of the machine hits both); prints every round and returns the medians.
inline Medians CompareRounds(int rounds, RateUnit u, const std::function<double()>& baseline,
                             const std::function<double()>& dispatcher) {
  baseline();
  dispatcher();
  std::vector<double> base, disp;
  for (int r = 0; r < rounds; ++r) {
    base.push_back(baseline());
    disp.push_back(dispatcher());
    std::printf("round %d: baseline %.*f %s, dispatcher %.*f %s\n", r + 1, u.decimals, base.back(),
                u.unit, u.decimals, disp.back(), u.unit);
  }
  return Medians{Median(base), Median(disp)};
}

// Prints the medians and their ratio under `title`; the exit status: 1 when any answer was
// wrong, else 0.
inline int Report(const std::string& title, Medians m, RateUnit u, double target, long wrong) {
  std::printf(
      "%s\n  baseline   %.*f %s\n  dispatcher %.*f %s\n  ratio      %.2f (target >= %.2f)\n",
      title.c_str(), u.decimals, m.baseline, u.unit, u.decimals, m.dispatcher, u.unit,
      m.dispatcher / m.baseline, target);
  if (wrong == 0) return 0;
  std::printf("  %ld answers had the wrong length\n", wrong);
  return 1;
}

}  // namespace orbitrace::bench
