#include "TestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace orbitrace::test {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/orbitrace-test-XXXXXX";
  const char* p = mkdtemp(tmpl);
  if (p == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = p;
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  // Read-only files are removed too: give the owner write permission back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void FakeClock::SetLocal(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  millis = static_cast<int64_t>(mktime(&t)) * 1000;
}

std::string UniqueIpcPrefix() {
  return "orbitrace-test-" + std::to_string(getpid()) + "-";
}

namespace {
// Every test process uses its own mutex names (the servers it starts share them), and removes
// the shared-memory objects behind them when it ends.
struct IpcPrefixSetter {
  IpcPrefixSetter() { setenv("ORBITRACE_IPC_PREFIX", UniqueIpcPrefix().c_str(), 1); }
  ~IpcPrefixSetter() {
    std::error_code ec;
    const std::string prefix = UniqueIpcPrefix();
    for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ec)) {
      if (e.path().filename().string().rfind(prefix, 0) == 0) std::filesystem::remove(e.path(), ec);
    }
  }
} g_prefixSetter;
}  // namespace

}  // namespace orbitrace::test

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

namespace orbitrace::test {

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ServerProcess::Start(const std::string& programDir) {
  const std::string out = programDir + "/server.out";
  const std::string prefix = UniqueIpcPrefix();
  pid_ = fork();
  if (pid_ == 0) {
    setenv("ORBITRACE_IPC_PREFIX", prefix.c_str(), 1);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execl(ORBITRACE_SERVER_PATH, ORBITRACE_SERVER_PATH, "run", "--program-dir", programDir.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

void ServerProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int ServerProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = 0;
  const bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeoutMs);
  if (!ended) return -1;
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace orbitrace::test

#include "platform/TextCodec.h"

namespace orbitrace::test {

void WritePortsConfig(const std::string& programDir, uint16_t dispatcherPort, uint16_t wifiPort,
                      int logLevel) {
  WriteFile(programDir + "/OrbitraceServer.ini",
            "[COMMON]\r\nDispatcherPort=" + std::to_string(dispatcherPort) +
                "\r\nWiFiPort=" + std::to_string(wifiPort) +
                "\r\n[LOG]\r\nLogLevel=" + std::to_string(logLevel) + "\r\n");
}

std::vector<std::string> JournalLines(const std::string& programDir) {
  std::vector<std::string> lines;
  std::istringstream in(Cp1251ToUtf8(ReadFile(programDir + "/Logs/Orbitraceserver.log")));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // "[dd.mm.yyyy hh:mm:ss] " is 22 characters.
    lines.push_back(line.size() >= 22 ? line.substr(22) : line);
  }
  return lines;
}

std::string ChannelLog(const std::string& programDir, const std::string& channel) {
  std::string all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(programDir + "/Logs", ec)) {
    if (entry.path().filename().string().rfind(channel, 0) == 0)
      all += Cp1251ToUtf8(ReadFile(entry.path().string()));
  }
  return all;
}

LoopbackClient::LoopbackClient(uint16_t port, int timeoutMs) {
  WaitUntil(
      [&] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
          fd_ = fd;
          return true;
        }
        close(fd);
        return false;
      },
      timeoutMs);
}

LoopbackClient::~LoopbackClient() {
  if (fd_ >= 0) close(fd_);
}

uint16_t LoopbackClient::localPort() const {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

CommandResult RunServerCommand(const std::string& args) {
  CommandResult result;
  const std::string command = std::string(ORBITRACE_SERVER_PATH) + " " + args + " 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return result;
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) result.out.append(buf, n);
  const int status = pclose(p);
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

}  // namespace orbitrace::test
