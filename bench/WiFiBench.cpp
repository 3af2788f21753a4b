// Benchmarks of the WiFi port against a minimal server written for the comparison, both run in
// the same invocation, over loopback only, each for a bounded time.
//
//   wifi_bench uploads [--devices 100] [--seconds 5] [--rounds 2]
//     Devices send command-4 messages of 64 records (1,024 bytes) and wait for each framed
//     "DATA_ACCEPT"; the message rate of the real connection threads is compared with the rate
//     of the minimal server (read a message, append its block with open/write/close, reply).
//   wifi_bench idle [--connections 5000]
//     Identified devices stay connected and idle; the server's resident memory per connection
//     is reported, then every connection uploads once and must be acknowledged.
//
// Each server runs in a child process of its own, so its resident memory is its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"
#include "dispatcher/WiFiModul.h"
#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "registry/DispPasswords.h"
#include "registry/FileHeadCache.h"
#include "service/ConnContext.h"
#include "service/Settings.h"
#include "wifi/WiFiBytes.h"
#include "wifi/WiFiProtocol.h"

namespace orbitrace::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kFirstSerial = 1000000;
constexpr char kPassword[] = "benchpw1";

// ---- wire helpers (device side) ----

// A device's message has the layout of the server's framed replies.
std::string Message(uint8_t command, uint32_t serial, const std::string& data) {
  TWiFiRequest header{command, serial, {}};
  std::memcpy(header.password.data(), kPassword, header.password.size());
  return BuildWiFiFrame(header, data, true);
}

// 64 records of 16 bytes that never repeat: the record number leads each record.
std::string UploadBlock(uint64_t first) {
  std::string block(1024, 'r');
  for (int i = 0; i < 64; ++i) {
    const uint64_t n = first + static_cast<uint64_t>(i);
    std::memcpy(block.data() + i * 16, &n, sizeof n);
  }
  return block;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `n` bytes within `timeoutMs`.
bool ReadExactly(int fd, char* out, size_t n, int timeoutMs) {
  size_t done = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (done < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    const ssize_t r = recv(fd, out + done, n - done, 0);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool Exchange(int fd, const std::string& request, const char* expectedText, size_t replySize) {
  if (!SendAll(fd, request)) return false;
  char reply[64];
  if (!ReadExactly(fd, reply, replySize, 10000)) return false;
  return std::memcmp(reply + 22, expectedText, replySize - 22) == 0;
}

// ---- the real server ----

// A device registry that serves every bench serial. With `filePasswords` it checks password.txt
// the way the service's registry does (folders created on first contact, the file read for
// every header); without, it accepts every password from memory (its folders made up front), to
// show what the WiFi code costs apart from the registry.
class BenchRegistry : public IDeviceRegistry {
 public:
  BenchRegistry(std::string dataFolder, bool filePasswords)
      : dataFolder_(std::move(dataFolder)),
        filePasswords_(filePasswords),
        listMutex_(NamedMutex::Create("OrbitraceServerGSMEntListMutex")),
        replMutex_(NamedMutex::Create("OrbitraceServerReplEntListMutex")) {
    for (uint32_t s = kFirstSerial; s < kFirstSerial + 10000; ++s) served_.push_back(s);
    if (!filePasswords_) {
      for (uint32_t s = kFirstSerial; s < kFirstSerial + 10000; ++s)
        ForceDirectories(JoinPath(dataFolder_, DeviceFolderName(s)));
    }
  }
  bool IsDeviceServed(uint32_t serial) const override {
    NamedLock lock(listMutex_.get(), 2000);
    return lock && std::binary_search(served_.begin(), served_.end(), serial);
  }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t) const override {
    return std::nullopt;
  }
  bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) override {
    if (!filePasswords_) return true;
    // The server's own check of the device folder's password.txt.
    return orbitrace::CheckDevicePassword(dataFolder_, serial, password);
  }
  uint32_t GetReplacement(uint32_t serial) const override {
    NamedLock lock(replMutex_.get(), 1000);
    return serial;  // the replacement list is empty
  }

 private:
  static std::string DeviceFolderName(uint32_t serial) {
    char name[16];
    std::snprintf(name, sizeof name, "%07u", serial);
    return name;
  }

  std::string dataFolder_;
  bool filePasswords_;
  std::vector<uint32_t> served_;
  std::unique_ptr<NamedMutex> listMutex_;
  std::unique_ptr<NamedMutex> replMutex_;
};

void WaitForStop() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  int sig = 0;
  sigwait(&set, &sig);
}

// The WiFi listener and its connection threads as the service runs them (log level 3).
[[noreturn]] void RunRealServer(const std::string& folder, uint16_t port, bool filePasswords) {
  RaiseOpenFileLimit();
  auto* settings = new TSettings;
  settings->ProgramDir = folder;
  settings->DataFolder = folder + "/Data";
  settings->WiFiPort = port;
  settings->log.SetLogFolder(folder + "/");
  settings->log.logLevel = 3;
  auto* writer = new TDebugWriter(settings->log, SystemClock::Instance());
  writer->CreateLogMutexes();
  writer->Resume();
  auto* registry = new BenchRegistry(settings->DataFolder, filePasswords);
  auto* context = new TConnContext(SystemClock::Instance(), *registry);
  auto* listener = new TWiFiModul(*writer, *settings, *context);
  listener->Resume();
  WaitForStop();
  ExitProcess(0);  // connection threads may still run: no clean-up
}

// ---- the minimal server ----

// Blocking receive of exactly `n` bytes.
bool ReceiveAll(int fd, char* out, size_t n) {
  return n == 0 || recv(fd, out, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

void ServeMinimal(int fd, std::string folder) {
  std::vector<char> body;
  char header[22];
  while (ReceiveAll(fd, header, sizeof header)) {
    const uint32_t total = GetU32(wifi::Bytes(header));
    if (total < 22 || total > kWiFiMaxMessage) break;
    body.resize(total - 22);
    if (!ReceiveAll(fd, body.data(), body.size())) break;
    const uint8_t command = static_cast<uint8_t>(header[4]);
    TWiFiRequest request;
    request.command = command;
    request.serial = GetU32(wifi::Bytes(header + 10));
    std::memcpy(request.password.data(), header + 14, 8);
    if (command == wcIdentify) {
      const std::string reply = BuildWiFiFrame(request, "DEVICE_ACCEPT", false);
      if (!SendAll(fd, reply)) break;
      continue;
    }
    const std::string path = folder + "/" + std::to_string(request.serial) + ".sbin";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file < 0) continue;
    const bool written = write(file, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    close(file);
    if (written && !SendAll(fd, BuildWiFiFrame(request, "DATA_ACCEPT", true))) break;
  }
  close(fd);
}

[[noreturn]] void RunMinimalServer(const std::string& folder, uint16_t port) {
  RaiseOpenFileLimit();
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    std::_Exit(2);
  }
  const std::string data = folder + "/Data";
  std::filesystem::create_directories(data);
  std::thread([listener, data] {
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) std::thread(ServeMinimal, fd, data).detach();
    }
  }).detach();
  WaitForStop();
  std::_Exit(0);
}

// ---- driving a server ----

enum class Kind { Minimal, Real, RealLightRegistry };
const char* Name(Kind k) {
  switch (k) {
    case Kind::Minimal:
      return "minimal server";
    case Kind::Real:
      return "WiFi threads";
    case Kind::RealLightRegistry:
      return "WiFi threads, in-memory password check";
  }
  return "";
}

struct Server {
  pid_t pid = -1;
  uint16_t port = 0;
  std::string folder;
};

Server StartServer(Kind kind) {
  Server s;
  char tmpl[] = "/tmp/orbitrace-wifi-bench-XXXXXX";
  s.folder = mkdtemp(tmpl);
  s.port = FreePort();
  s.pid = fork();
  if (s.pid == 0) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (kind == Kind::Minimal) RunMinimalServer(s.folder, s.port);
    RunRealServer(s.folder, s.port, kind == Kind::Real);
  }
  // Ready once it accepts.
  for (int i = 0; i < 500; ++i) {
    const int fd = ConnectLoopback(s.port);
    if (fd >= 0) {
      close(fd);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return s;
}

void StopServer(Server& s) {
  kill(s.pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500 && waitpid(s.pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (waitpid(s.pid, &status, WNOHANG) == 0) {
    kill(s.pid, SIGKILL);
    waitpid(s.pid, &status, 0);
  }
  std::error_code ec;
  std::filesystem::remove_all(s.folder, ec);
}

// Resident memory of a process in KiB (VmRSS).
long ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

long ThreadCount(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atol(line.c_str() + 8);
  }
  return -1;
}

// The warm-up before a measurement. It lasts until the password.txt files written at first
// contact are old enough to be remembered, so that the measurement shows a fleet's steady state
// (devices whose files are days old) rather than their first seconds.
constexpr int64_t kWarmUpMillis = TFileHeadCache::kSettleMillis + 500;

// Messages per second of `devices` devices uploading for `seconds` after the warm-up.
double MeasureUploads(Kind kind, int devices, int seconds, long& failures) {
  Server server = StartServer(kind);
  std::atomic<bool> stop{false};
  std::atomic<bool> counting{false};
  std::atomic<long> acknowledged{0};
  std::atomic<long> failed{0};
  std::vector<std::thread> threads;
  for (int d = 0; d < devices; ++d) {
    threads.emplace_back([&, d] {
      const uint32_t serial = kFirstSerial + static_cast<uint32_t>(d);
      const int fd = ConnectLoopback(server.port);
      if (fd < 0) {
        ++failed;
        return;
      }
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      uint64_t next = 0;
      while (!stop.load()) {
        const std::string m = Message(wcDataSbinFramed, serial, UploadBlock(next));
        next += 64;
        if (!Exchange(fd, m, "DATA_ACCEPT", 33)) {
          ++failed;
          break;
        }
        if (counting.load()) ++acknowledged;
      }
      close(fd);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(kWarmUpMillis));
  counting = true;
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  counting = false;
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const long count = acknowledged.load();
  stop = true;
  for (std::thread& t : threads) t.join();
  StopServer(server);
  failures += failed.load();
  return static_cast<double>(count) / elapsed;
}

int Uploads(int devices, int seconds, int rounds) {
  std::printf(
      "Uploads: %d devices, command 4, 64 records (1,024 bytes) per message, %d s per "
      "measurement after a %.1f s warm-up, %d rounds\n",
      devices, seconds, static_cast<double>(kWarmUpMillis) / 1000, rounds);
  const Kind kinds[] = {Kind::Minimal, Kind::Real, Kind::RealLightRegistry};
  double sum[3] = {0, 0, 0};
  long failures = 0;
  for (int r = 0; r < rounds; ++r) {
    for (Kind kind : kinds) {
      const double rate = MeasureUploads(kind, devices, seconds, failures);
      sum[static_cast<int>(kind)] += rate;
      std::printf("  round %d  %-40s %8.0f messages/s\n", r + 1, Name(kind), rate);
      std::fflush(stdout);
    }
  }
  std::printf("Mean over %d rounds:\n", rounds);
  for (Kind kind : kinds) {
    const double mean = sum[static_cast<int>(kind)] / rounds;
    std::printf("  %-40s %8.0f messages/s  ratio to minimal %.3f\n", Name(kind), mean,
                mean / (sum[0] / rounds));
  }
  std::printf("Target: WiFi threads at least 0.7 of the minimal server\n");
  std::printf("Failed exchanges: %ld\n", failures);
  return failures == 0 ? 0 : 1;
}

struct IdleResult {
  long before = 0, after = 0, afterUploads = 0, threads = 0;
  int identified = 0, uploaded = 0;
};

IdleResult MeasureIdle(Kind kind, int connections) {
  IdleResult result;
  Server server = StartServer(kind);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  result.before = ResidentKiB(server.pid);
  std::vector<int> fds(connections, -1);
  for (int i = 0; i < connections; ++i) {
    const uint32_t serial = kFirstSerial + static_cast<uint32_t>(i);
    fds[i] = ConnectLoopback(server.port);
    if (fds[i] >= 0 && Exchange(fds[i], Message(wcIdentify, serial, ""), "DEVICE_ACCEPT", 35))
      ++result.identified;
  }
  // Let every connection settle into its idle wait.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  result.after = ResidentKiB(server.pid);
  result.threads = ThreadCount(server.pid);
  // Every connection uploads once more; 50 devices' worth of work at a time.
  std::atomic<int> uploaded{0};
  std::vector<std::thread> workers;
  const int kWorkers = 50;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = w; i < connections; i += kWorkers) {
        const uint32_t serial = kFirstSerial + static_cast<uint32_t>(i);
        if (fds[i] >= 0 &&
            Exchange(fds[i], Message(wcDataSbinFramed, serial, UploadBlock(0)), "DATA_ACCEPT", 33))
          ++uploaded;
      }
    });
  }
  for (std::thread& t : workers) t.join();
  result.uploaded = uploaded.load();
  result.afterUploads = ResidentKiB(server.pid);
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  StopServer(server);
  return result;
}

int Idle(int connections) {
  std::printf("Connections held: %d identified devices, idle for 3 s, then one upload each\n",
              connections);
  double perConnection[3] = {0, 0, 0};
  bool ok = true;
  for (Kind kind : {Kind::Minimal, Kind::Real}) {
    const IdleResult r = MeasureIdle(kind, connections);
    perConnection[static_cast<int>(kind)] =
        static_cast<double>(r.after - r.before) / static_cast<double>(connections);
    std::printf(
        "  %-14s resident %ld KiB before, %ld KiB with %d idle connections (%ld threads): "
        "%.1f KiB per connection; identified %d/%d; one upload each afterwards: acknowledged "
        "%d/%d, resident then %ld KiB\n",
        Name(kind), r.before, r.after, connections, r.threads,
        perConnection[static_cast<int>(kind)], r.identified, connections, r.uploaded, connections,
        r.afterUploads);
    std::fflush(stdout);
    ok = ok && r.identified == connections && r.uploaded == connections;
  }
  std::printf(
      "Ratio WiFi / minimal resident memory per connection: %.2f (target: WiFi under "
      "150 KiB per connection)\n",
      perConnection[1] / perConnection[0]);
  return ok ? 0 : 1;
}

int ArgValue(int argc, char** argv, const char* name, int fallback) {
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace
}  // namespace orbitrace::bench

int main(int argc, char** argv) {
  using namespace orbitrace::bench;
  signal(SIGPIPE, SIG_IGN);
  orbitrace::RaiseOpenFileLimit();
  // Named mutexes of this run get their own names.
  setenv("ORBITRACE_IPC_PREFIX", ("orbitrace-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  const std::string mode = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (mode == "uploads") {
    rc = Uploads(ArgValue(argc, argv, "--devices", 100), ArgValue(argc, argv, "--seconds", 5),
                 ArgValue(argc, argv, "--rounds", 2));
  } else if (mode == "idle") {
    rc = Idle(ArgValue(argc, argv, "--connections", 5000));
  } else {
    std::fprintf(stderr, "usage: wifi_bench uploads|idle [options]\n");
  }
  for (const char* name : {"OrbitraceServerGSMEntListMutex", "OrbitraceServerReplEntListMutex",
                           "OrbitraceServerDispLogMutex", "OrbitraceServerDeviceLogMutex",
                           "OrbitraceServerWiFiLogMutex", "OrbitraceServerRedirectLogMutex",
                           "OrbitraceServerYandexLogMutex"}) {
    orbitrace::NamedMutex::Remove(name);
  }
  return rc;
}
