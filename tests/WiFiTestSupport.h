// Helpers for the WiFi protocol tests: request builders, a fake device registry, an in-memory
// peer, a captured WiFi log, and a loopback device client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"
#include "service/ConnContext.h"
#include "service/Settings.h"
#include "wifi/WiFiBytes.h"
#include "wifi/WiFiProtocol.h"

namespace orbitrace::test {

inline constexpr char kPassword[] = "secret12";

// One request as a device would send it; unset lengths and checksum are computed.
struct WiFiMessage {
  uint8_t command = 64;
  uint32_t serial = 123456;
  std::string data;
  std::string password = kPassword;
  uint16_t headerLength = 22;
  std::optional<uint32_t> totalLength;
  std::optional<uint16_t> checksum;
  uint8_t commandHigh = 0;

  std::string Bytes() const {
    std::string out;
    wifi::AppendU32(out, totalLength.value_or(static_cast<uint32_t>(22 + data.size())));
    out.push_back(static_cast<char>(command));
    out.push_back(static_cast<char>(commandHigh));
    wifi::AppendU16(out, headerLength);
    wifi::AppendU16(out, checksum.value_or(WiFiChecksum(data.data(), data.size())));
    wifi::AppendU32(out, serial);
    std::string pw = password;
    pw.resize(8, ' ');
    out += pw;
    out += data;
    return out;
  }
};

// `data` followed by its checksum as a little-endian trailer.
inline std::string WithTrailer(const std::string& data) {
  std::string out = data;
  wifi::AppendU16(out, WiFiChecksum(data.data(), data.size()));
  return out;
}

// `count` records of `size` bytes, each distinct: the record number `first + i` spelled out.
inline std::string Records(size_t count, size_t size, uint32_t first = 0) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    std::string rec(size, static_cast<char>('a' + (first + i) % 26));
    const std::string n = std::to_string(first + i);
    rec.replace(0, std::min(n.size(), size), n.substr(0, size));
    out += rec;
  }
  return out;
}

// The framed reply the server sends for `request` with `text`.
inline std::string Frame(const WiFiMessage& request, const std::string& text, bool checksum) {
  TWiFiRequest r;
  r.command = request.command;
  r.serial = request.serial;
  std::string pw = request.password;
  pw.resize(8, ' ');
  std::memcpy(r.password.data(), pw.data(), 8);
  return BuildWiFiFrame(r, text, checksum);
}

// Registry whose answers the test sets up before any connection runs. The password check
// creates the device folder like the real one and accepts `kPassword` unless told otherwise.
class WiFiFakeRegistry : public IDeviceRegistry {
 public:
  explicit WiFiFakeRegistry(const std::string& dataFolder) : dataFolder_(dataFolder) {}
  bool IsDeviceServed(uint32_t serial) const override { return served.count(serial) != 0; }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t) const override {
    return std::nullopt;
  }
  bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>& password) override {
    ++passwordChecks;
    char name[16];
    std::snprintf(name, sizeof name, "%07u", serial);
    ForceDirectories(JoinPath(dataFolder_, name));
    const auto it = passwords.find(serial);
    const std::string expected = it != passwords.end() ? it->second : kPassword;
    return std::string(password.data(), 8) == expected;
  }
  uint32_t GetReplacement(uint32_t serial) const override {
    const auto it = replacements.find(serial);
    return it == replacements.end() ? serial : it->second;
  }

  std::set<uint32_t> served;
  std::map<uint32_t, std::string> passwords;
  std::map<uint32_t, uint32_t> replacements;
  std::atomic<int> passwordChecks{0};

 private:
  std::string dataFolder_;
};

// A peer in memory: records what is sent; `respond` may answer each send (the device's reply).
class MemoryLink : public IWiFiLink {
 public:
  void Send(const void* data, size_t size) override {
    const std::string bytes(static_cast<const char*>(data), size);
    sent += bytes;
    frames.push_back(bytes);
    if (respond) {
      if (auto reply = respond(bytes)) incoming.push_back(*reply);
    }
  }
  PollResult WaitReadable(uint32_t) override {
    return incoming.empty() ? PollResult::Timeout : PollResult::Ready;
  }
  long Receive(void* buffer, size_t size) override {
    if (incoming.empty()) return 0;
    std::string next = incoming.front();
    incoming.pop_front();
    const size_t n = std::min(size, next.size());
    std::memcpy(buffer, next.data(), n);
    return static_cast<long>(n);
  }
  int LastError() const override { return 0; }

  std::string sent;
  std::vector<std::string> frames;
  std::deque<std::string> incoming;
  std::function<std::optional<std::string>(const std::string&)> respond;
};

// Settings, clock, registry and a log writer in a scratch program folder, with the data folder
// "Data" inside it. The WiFi channel is written to WiFiLog.log at the detail level.
struct WiFiWorld {
  WiFiWorld() : registry(dir / "Data"), context(clock, registry), writer(settings.log, clock) {
    settings.ProgramDir = dir.path();
    settings.DataFolder = dir / "Data";
    settings.log.SetLogFolder(dir.path() + "/");
    settings.log.enableLogSplit = 0;
    settings.log.logLevel = 1;
    writer.CreateLogMutexes();
    clock.SetLocal(2024, 1, 3, 10, 30, 0);  // a Wednesday
    WiFiIdleLimit = kIdleLimitLong;
  }

  // The WiFi records written so far, each as "LVL serial text".
  std::vector<std::string> Log() {
    writer.FlushPass();
    std::vector<std::string> out;
    std::istringstream in(Cp1251ToUtf8(ReadFile(dir / "WiFiLog.log")));
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::vector<std::string> parts;
      std::string part;
      std::istringstream fields(line);
      while (std::getline(fields, part, '\t')) parts.push_back(part);
      if (parts.size() < 4) continue;
      const std::string level = parts[0].substr(parts[0].size() - 4, 3);
      const std::string serial = parts[2].substr(parts[2].find(':') + 1);
      std::string text = parts[3];
      for (size_t i = 4; i < parts.size(); ++i) text += "\t" + parts[i];
      out.push_back(level + " " + std::to_string(std::stoul(serial)) + " " + text);
    }
    return out;
  }
  bool LogHas(const std::string& record) {
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), record) != lines.end();
  }

  std::string DevicePath(uint32_t serial, const std::string& name) const {
    char folder[16];
    std::snprintf(folder, sizeof folder, "%07u", serial);
    return dir.path() + "/Data/" + folder + "/" + name;
  }

  ScratchDir dir;
  TSettings settings;
  FakeClock clock;
  WiFiFakeRegistry registry;
  TConnContext context;
  TDebugWriter writer;
};

// A device's end of a loopback TCP connection.
class DeviceClient {
 public:
  explicit DeviceClient(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~DeviceClient() {
    if (fd_ >= 0) close(fd_);
  }
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    return fd_ >= 0 && send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                           static_cast<ssize_t>(bytes.size());
  }
  // Reads exactly `n` bytes, or what arrived before the peer closed or `timeoutMs` ran out.
  std::string Read(size_t n, int timeoutMs = 5000) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
      char buf[65536];
      const ssize_t r = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
    return out;
  }
  // True when the server closed the connection within `timeoutMs` (pending bytes are dropped).
  bool ClosedByPeer(int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return false;
      char buf[4096];
      const ssize_t r = recv(fd_, buf, sizeof buf, 0);
      if (r <= 0) return true;
    }
  }
  // True when nothing arrives for `ms` (and the connection is still open).
  bool Quiet(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace orbitrace::test
