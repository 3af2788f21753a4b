// Helpers for the dispatcher tests: a registry the test fills in, a log writer whose DispLog
// lines the test reads back, request builders and answer readers, device folder fixtures.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "dispatcher/DispEnv.h"
#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "platform/TextCodec.h"

namespace orbitrace::test {

class DispFakeRegistry : public IDeviceRegistry {
 public:
  bool IsDeviceServed(uint32_t serial) const override { return served.count(serial) != 0; }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t serial) const override {
    const auto it = passwords.find(serial);
    if (it == passwords.end()) return std::nullopt;
    return it->second;
  }
  bool CheckDevicePassword(uint32_t, const std::array<char, 8>&) override { return false; }
  uint32_t GetReplacement(uint32_t serial) const override { return serial; }

  std::set<uint32_t> served;
  std::map<uint32_t, std::array<char, 8>> passwords;
};

inline std::array<char, 8> Pw(const std::string& text) {
  std::array<char, 8> p{};
  std::memcpy(p.data(), text.data(), std::min<size_t>(8, text.size()));
  return p;
}

// ---- little-endian byte strings ----

inline std::string U16(uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
inline std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}
inline uint32_t ReadU32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s.at(at + i));
  return v;
}
inline uint16_t ReadU16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s.at(at)) |
                               (static_cast<uint8_t>(s.at(at + 1)) << 8));
}

// ---- requests ----

inline std::string Request(uint16_t type, const std::vector<std::string>& elements) {
  std::string body;
  for (const std::string& e : elements) body += e;
  return U32(static_cast<uint32_t>(10 + body.size())) + U16(type) +
         U32(static_cast<uint32_t>(elements.size())) + body;
}
inline std::string PasswordBytes(const std::array<char, 8>& pw) {
  return std::string(pw.data(), pw.size());
}
inline std::string DataElement(uint32_t serial, const std::array<char, 8>& pw,
                               const std::string& date, uint32_t start) {
  return U32(26) + U32(serial) + PasswordBytes(pw) + date.substr(0, 6) + U32(start);
}
inline std::string LastPosElement(uint32_t serial, const std::array<char, 8>& pw) {
  return U32(16) + U32(serial) + PasswordBytes(pw);
}
inline std::string RouteElement(uint32_t serial, const std::array<char, 8>& pw, uint32_t route) {
  return U32(20) + U32(serial) + PasswordBytes(pw) + U32(route);
}

// ---- answers ----

struct Descriptor {
  uint32_t serial = 0;
  std::string date;
  uint32_t start = 0;
  uint32_t end = 0;
  int more = 0;
  int standBy = 0;
  bool operator==(const Descriptor&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Descriptor& d) {
  return os << "{" << d.serial << " " << d.date << " " << d.start << ".." << d.end
            << " more=" << d.more << " sb=" << d.standBy << "}";
}

struct DataAnswer {
  uint32_t length = 0;
  uint16_t type = 0;
  std::vector<Descriptor> descriptors;
  std::string bytes;  // the file bytes after the descriptors
};

inline DataAnswer ParseDataAnswer(const std::string& a) {
  DataAnswer r;
  r.length = ReadU32(a, 0);
  r.type = ReadU16(a, 4);
  const uint32_t k = ReadU32(a, 6);
  size_t at = 10;
  for (uint32_t i = 0; i < k; ++i, at += 24) {
    EXPECT_EQ(ReadU32(a, at), 24u);
    Descriptor d;
    d.serial = ReadU32(a, at + 4);
    d.date = a.substr(at + 8, 6);
    d.start = ReadU32(a, at + 14);
    d.end = ReadU32(a, at + 18);
    d.more = static_cast<uint8_t>(a[at + 22]);
    d.standBy = static_cast<uint8_t>(a[at + 23]);
    r.descriptors.push_back(d);
  }
  r.bytes = a.substr(at);
  return r;
}

// ---- environment ----

// Settings with a scratch data folder, a fake registry and clock, and a log writer (never
// started: the test flushes it) whose DispLog lines can be read back.
class DispFixture {
 public:
  DispFixture() : context(clock, registry) {
    settings.DataFolder = dir / "Data";
    ForceDirectories(settings.DataFolder);
    settings.log.SetLogFolder(dir / "Logs/");
    ForceDirectories(dir / "Logs");
    settings.log.enableLogSplit = 0;
    settings.log.logLevel = 1;  // every level
    writer = std::make_unique<TDebugWriter>(settings.log, clock);
    writer->CreateLogMutexes();
    clock.SetLocal(2010, 3, 17, 12, 0, 0);
  }

  DispEnv Env() { return DispEnv{*writer, settings, context, 1}; }

  std::string Folder(uint32_t serial) {
    char name[16];
    std::snprintf(name, sizeof name, "/%07u", serial);
    return settings.DataFolder + name;
  }
  // Creates the device folder (and password.txt when `password` is given).
  std::string Device(uint32_t serial, const char* password = nullptr) {
    const std::string folder = Folder(serial);
    ForceDirectories(folder);
    if (password != nullptr) WriteFile(folder + "/password.txt", password);
    return folder;
  }
  void DeviceFile(uint32_t serial, const std::string& name, const std::string& content) {
    WriteFile(Folder(serial) + "/" + name, content);
  }

  // The DispLog lines written since the last call, as "LVL text".
  std::vector<std::string> Lines() {
    writer->FlushPass();
    const std::string path = dir / "Logs/DispLog.log";
    std::istringstream in(Cp1251ToUtf8(ReadFile(path)));
    DeleteFile(path);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      // "[dd.mm.yyyy hh:mm:ss] [LVL]\t" is 28 bytes.
      std::string text = line.substr(28);
      if (text.rfind("ИД:", 0) == 0) text = text.substr(text.find('\t') + 1);
      out.push_back(line.substr(23, 3) + " " + text);
    }
    return out;
  }

  ScratchDir dir;
  TSettings settings;
  FakeClock clock;
  DispFakeRegistry registry;
  TConnContext context;
  std::unique_ptr<TDebugWriter> writer;
};

}  // namespace orbitrace::test
