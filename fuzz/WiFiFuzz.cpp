// libFuzzer target for the WiFi port: an input is a flag byte (is the device listed, does its
// password pass, is it replaced) followed by chunks, each a little-endian u16 length and that
// many bytes. The chunks go through the message assembler and its dispatch as receives of one
// connection, until the assembler ends the connection; the same chunks also serve as the
// device's answers while an assisted-GPS transfer runs. Uploads land in a scratch data folder
// that is emptied after every input.
//
// With WIFI_FUZZ_SEEDS=<folder> set, a few well-formed conversations are written there first,
// so that a short run starts from messages the server accepts.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "logging/Debug.h"
#include "platform/FileSystem.h"
#include "service/ConnContext.h"
#include "service/Settings.h"
#include "wifi/WiFiBytes.h"
#include "wifi/WiFiEpoDelivery.h"
#include "wifi/WiFiMessageAssembler.h"
#include "wifi/WiFiProtocol.h"

namespace orbitrace {
namespace {

class FixedClock : public Clock {
 public:
  uint32_t TickCount() const override { return 1000; }
  int64_t UnixMillis() const override { return 1704277800000; }  // 2024-01-03 10:30 UTC
};

// Lookups answered by the input's flag byte; the password check creates the device folder the
// way the service's registry does, so that uploads find it.
class FuzzRegistry : public IDeviceRegistry {
 public:
  explicit FuzzRegistry(const std::string& dataFolder) : dataFolder_(dataFolder) {}
  bool IsDeviceServed(uint32_t) const override { return (flags & 1) != 0; }
  std::optional<std::array<char, 8>> FindDispPassword(uint32_t) const override {
    return std::nullopt;
  }
  bool CheckDevicePassword(uint32_t serial, const std::array<char, 8>&) override {
    char name[16];
    std::snprintf(name, sizeof name, "%07u", serial);
    ForceDirectories(JoinPath(dataFolder_, name));
    return (flags & 2) != 0;
  }
  uint32_t GetReplacement(uint32_t serial) const override {
    return (flags & 4) != 0 ? serial % 1000 + 10000 : serial;
  }
  uint8_t flags = 0;

 private:
  std::string dataFolder_;
};

// The input's chunks as the connection's receives.
class ChunkLink : public IWiFiLink {
 public:
  ChunkLink(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  // The next non-empty chunk; false at the end of the input.
  bool Next(const uint8_t*& chunk, size_t& length) {
    while (end_ - p_ >= 2) {
      size_t n = GetU16(p_);
      p_ += 2;
      n = std::min<size_t>(n, static_cast<size_t>(end_ - p_));
      chunk = p_;
      p_ += n;
      length = n;
      if (n > 0) return true;
    }
    return false;
  }
  void Send(const void* data, size_t size) override {
    // Touch every byte so that a reply built from freed or short memory is noticed.
    const auto* b = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) sink_ ^= b[i];
  }
  PollResult WaitReadable(uint32_t) override {
    return end_ - p_ >= 2 ? PollResult::Ready : PollResult::Timeout;
  }
  long Receive(void* buffer, size_t size) override {
    const uint8_t* chunk;
    size_t length;
    if (!Next(chunk, length)) return 0;
    length = std::min(length, size);
    std::memcpy(buffer, chunk, length);
    return static_cast<long>(length);
  }
  int LastError() const override { return 0; }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
  unsigned char sink_ = 0;
};

struct World {
  World() {
    char tmpl[] = "/tmp/orbitrace-wifi-fuzz-XXXXXX";
    root = mkdtemp(tmpl);
    settings.ProgramDir = root;
    settings.DataFolder = root + "/Data";
    settings.log.writeLog = false;
    ForceDirectories(root + "/agpsdata");
    std::ofstream(root + "/agpsdata/MTK7d.EPO", std::ios::binary)
        << std::string(kEpoFileSize, '\x5A');
  }
  ~World() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  std::string root;
  TSettings settings;
  FixedClock clock;
  FuzzRegistry registry{root + "/Data"};
  TConnContext context{clock, registry};
  TDebugWriter writer{settings.log, clock};  // its channel mutexes are never opened: no output
};

World* g_world = nullptr;

World& TheWorld() {
  if (g_world == nullptr) {
    // Lives until the process ends, then takes its scratch folder with it.
    g_world = new World;
    std::atexit([] { delete g_world; });
  }
  return *g_world;
}

// Seeds: well-formed conversations in the input format.
std::string Message(uint8_t command, uint32_t serial, const std::string& data) {
  TWiFiRequest header{command, serial, {}};
  std::memcpy(header.password.data(), "secret12", header.password.size());
  return BuildWiFiFrame(header, data, true);
}

std::string Chunk(const std::string& bytes) {
  std::string c;
  wifi::AppendU16(c, static_cast<uint16_t>(bytes.size()));
  return c + bytes;
}

void WriteSeeds(const std::string& folder) {
  std::filesystem::create_directories(folder);
  const std::string records(32, 'r');
  std::string trailed = records;
  wifi::AppendU16(trailed, WiFiChecksum(records.data(), records.size()));
  std::string epo = Chunk(Message(7, 123456, ""));
  for (uint32_t offset = 0; offset < kEpoFileSize; offset += kEpoChunkSize) {
    std::string ack = "EPOK";
    wifi::AppendU32(ack, offset);
    epo += Chunk(offset == 2000 ? std::string("CRCERROR") : ack);
  }
  const std::string upload = Message(4, 123456, records);
  const std::vector<std::string> seeds = {
      "\x03" + Chunk(Message(64, 123456, "")) + Chunk("FINISH"),
      "\x03" + Chunk(upload) + Chunk(upload),
      "\x07" + Chunk(upload.substr(0, 30)) + Chunk(upload.substr(30)),
      "\x03" + Chunk(Message(1, 50000, std::string(24, 'b'))) + Chunk(Message(6, 91000, trailed)),
      "\x03" + Chunk(Message(2, 123456, "config")) + Chunk(Message(5, 123456, "config")),
      "\x07" + Chunk(Message(65, 123456, std::string("030124bin\0", 10) + "named")),
      "\x00" + Chunk(Message(65, 123456, "x")) + Chunk(Message(2, 123456, "x")),
      "\x03" + epo,
  };
  for (size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream(folder + "/seed" + std::to_string(i), std::ios::binary) << seeds[i];
  }
}

}  // namespace
}  // namespace orbitrace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* seeds = getenv("WIFI_FUZZ_SEEDS")) orbitrace::WriteSeeds(seeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orbitrace;
  if (size < 1) return 0;
  World& world = TheWorld();
  world.registry.flags = data[0];
  ChunkLink link(data + 1, size - 1);
  TWiFiOptions options;
  options.epoAckTimeoutMs = 0;
  {
    TWiFiMessageAssembler assembler(
        TWiFiEnv{link, world.writer, 1, world.settings, world.context, options});
    const uint8_t* chunk;
    size_t length;
    while (link.Next(chunk, length)) {
      if (!assembler.DeviceConnRead(reinterpret_cast<const char*>(chunk), length)) break;
    }
    assembler.ResetMessage();
  }
  // Nothing may appear outside the data folder, the assisted-GPS folder and nothing else.
  for (const DirEntry& e : ListDirectory(world.root)) {
    if (e.name != "Data" && e.name != "agpsdata") __builtin_trap();
  }
  std::error_code ec;
  std::filesystem::remove_all(world.settings.DataFolder, ec);
  return 0;
}
