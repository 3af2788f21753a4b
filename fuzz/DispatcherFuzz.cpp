// Feeds arbitrary chunk sequences to one dispatcher connection, as a client on the network
// could send them, against a scratch data folder with a few devices.
//
// Input: a sequence of chunks, each [gap u8][length u16 LE][length bytes]. The gap advances the
// tick counter before the chunk: bit 7 set means just over the 20-second limit, else the low
// bits times 100 ms. A length beyond the input takes what is left.
//
// With DISP_FUZZ_SEED_DIR set, a few well-formed requests are written there as seeds first.

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dispatcher/DicpConnThread.h"
#include "dispatcher/DispProtocol.h"
#include "dispatcher/WireFormat.h"
#include "platform/FileSystem.h"

namespace orbitrace {
namespace {

class FuzzClock : public Clock {
 public:
  uint32_t TickCount() const override { return tick.load(); }
  int64_t UnixMillis() const override { return 1268827200000; }  // 2010-03-17 12:00 UTC
  std::atomic<uint32_t> tick{0};
};

class FuzzRegistry : public IDeviceRegistry {
 public:
  bool IsDeviceServed(uint32_t serial) const override { return serial >= 1 && serial <= 3; }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t serial) const override {
    if (serial != 2) return std::nullopt;
    return std::array<char, 8>{'l', 'i', 's', 't', ' ', ' ', ' ', ' '};
  }
  bool CheckDevicePassword(uint32_t, const std::array<char, 8>&) override { return false; }
  uint32_t GetReplacement(uint32_t serial) const override { return serial; }
};

void Write(const std::string& path, const std::string& content) {
  File f;
  if (f.Open(path, Access::Write, Share::ReadWrite, Disposition::CreateAlways)) f.Write(content);
}

std::string U32s(std::initializer_list<uint32_t> values) {
  std::string out;
  for (uint32_t v : values) {
    uint8_t b[4];
    PutU32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
  }
  return out;
}

struct World {
  World() {
    char tmpl[] = "/tmp/orbitrace-fuzz-XXXXXX";
    root = mkdtemp(tmpl);
    settings.DataFolder = root + "/Data";
    for (const char* d : {"/Data/0000001", "/Data/0000002", "/Data/0000003", "/Logs"})
      ForceDirectories(root + d);
    const std::string d1 = root + "/Data/0000001/", d2 = root + "/Data/0000002/",
                      d3 = root + "/Data/0000003/";
    Write(d1 + "password.txt", "pw");
    Write(d1 + "0000001-100301.bin", std::string(100, 'a'));
    Write(d1 + "0000001-100308.BIN", std::string(40, 'b'));
    Write(d1 + "0000001-100315.sbin", std::string(16, 'c'));
    Write(d1 + "0000001-100301.route", std::string(24, 'r'));
    Write(d1 + "lastposition.bin", U32s({10620432, 553000000, 0x80000002u}));
    Write(d2 + "0000002-100308.sbin", std::string(32, 's'));
    Write(d2 + "lastposition.bin", U32s({86400, 1, 1}));
    Write(d3 + "0000003-991231.route", std::string(12, 't'));
    Write(d3 + "lastposition.bin", std::string(11, 'x'));
    routeFiles = {d1 + "0000001-100315.route", d2 + "0000002-100315.route",
                  d3 + "0000003-100315.route"};

    const std::string prefix = "orbitrace-fuzz-" + std::to_string(getpid()) + "-";
    setenv("ORBITRACE_IPC_PREFIX", prefix.c_str(), 1);
    settings.log.SetLogFolder(root + "/Logs/");
    settings.log.enableLogSplit = 0;
    writer = new TDebugWriter(settings.log, clock);
    // Lines are still formatted; only those that are always written reach the file.
    settings.log.writeLog = false;
    writer->CreateLogMutexes();
  }

  std::string root;
  TSettings settings;
  FuzzClock clock;
  FuzzRegistry registry;
  TConnContext context{clock, registry};
  TDebugWriter* writer = nullptr;  // lives as long as the process
  std::vector<std::string> routeFiles;
};

World& TheWorld() {
  static World* world = new World;
  return *world;
}

void RemoveScratch() {
  std::error_code ec;
  std::filesystem::remove_all(TheWorld().root, ec);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

// Every answer states its own length, and no answer is larger than the limits allow.
bool CheckAnswer(const uint8_t* data, size_t size) {
  if (size < 8) Fail("answer shorter than its header");
  if (GetU32(data) != size) Fail("answer length field differs from the bytes sent");
  if (size > kMaxAnswerLength) Fail("answer above 10 MiB");
  return true;
}

void WriteSeeds(const char* dir) {
  const auto chunk = [](const std::string& bytes, uint8_t gap = 0) {
    uint8_t len[2];
    PutU16(len, static_cast<uint16_t>(bytes.size()));
    return std::string(1, static_cast<char>(gap)) + std::string(reinterpret_cast<char*>(len), 2) +
           bytes;
  };
  const auto request = [](uint16_t type, uint32_t count, const std::string& elements) {
    uint8_t h[10];
    PutU32(h, static_cast<uint32_t>(10 + elements.size()));
    PutU16(h + 4, type);
    PutU32(h + 6, count);
    return std::string(reinterpret_cast<char*>(h), 10) + elements;
  };
  const std::string pw1 = "pw      ", pw2 = "list    ", pw3(8, '\0');
  const auto data = [](uint32_t serial, const std::string& pw, const char* date, uint32_t start) {
    return U32s({26, serial}) + pw + date + U32s({start});
  };
  const std::string dataElems = data(1, pw1, "??????", 0) + data(2, pw2, "080310", 5) +
                                data(3, pw3, "??????", 0) + data(1, pw1, "010310", 100);
  const std::string posElems = U32s({16, 1}) + pw1 + U32s({16, 2}) + pw2 + U32s({16, 3}) + pw3;
  const std::string routeElems = U32s({20, 1}) + pw1 + U32s({7}) + U32s({20, 2}) + pw2 + U32s({8});
  const std::vector<std::string> seeds = {
      chunk(request(1, 4, dataElems)),
      chunk(request(2, 4, dataElems)),
      chunk(request(4, 4, dataElems)),
      chunk(request(192, 3, posElems)),
      chunk(request(128, 2, routeElems)),
      chunk(request(2, 4, dataElems).substr(0, 17)) + chunk(request(2, 4, dataElems).substr(17), 3),
      chunk(request(192, 3, posElems).substr(0, 10)) +
          chunk(request(192, 3, posElems).substr(10), 0x80),
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    const std::string path = std::string(dir) + "/seed-" + std::to_string(i);
    Write(path, seeds[i]);
  }
}

}  // namespace
}  // namespace orbitrace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = getenv("DISP_FUZZ_SEED_DIR")) orbitrace::WriteSeeds(dir);
  orbitrace::TheWorld();
  atexit(orbitrace::RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orbitrace;
  World& w = TheWorld();
  {
    TDispConnection conn(DispEnv{*w.writer, w.settings, w.context, 1}, CheckAnswer, 20000);
    size_t at = 0;
    while (at < size) {
      const uint8_t gap = data[at++];
      size_t length = 0;
      if (at + 2 <= size) length = GetU16(data + at);
      at = std::min(size, at + 2);
      length = std::min(length, size - at);
      w.clock.tick += (gap & 0x80) ? 20001u : (gap & 0x7Fu) * 100u;
      const bool goOn = conn.DispatcherConnRead(data + at, length);
      at += length;
      if (!goOn) break;
    }
  }
  w.writer->FlushPass();
  // Keep the appended route files from growing run after run.
  for (const std::string& f : w.routeFiles) DeleteFile(f);
  return 0;
}
