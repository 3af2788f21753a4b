// Download throughput of the dispatcher port: several clients at once fetch type-2 answers of
// nearly 10 MiB over loopback, each request on a connection of its own. Baseline: a minimal
// sender that answers the same requests with the same bytes read from the same files.
//
// Usage: dispatcher_download_bench [clients] [requests per client and round] [rounds]

#include "BenchSupport.h"

using namespace orbitrace;
using namespace orbitrace::bench;

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 4;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 20;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  // The whole answer: header, one descriptor and the file, just under the 10 MiB limit.
  const uint32_t fileSize = 10485760 - 34 - 4096;
  const uint32_t answerSize = 34 + fileSize;

  Scratch dir;
  std::set<uint32_t> serials;
  for (int c = 0; c < clients; ++c) {
    const uint32_t serial = 1000 + static_cast<uint32_t>(c);
    serials.insert(serial);
    char folder[64];
    std::snprintf(folder, sizeof folder, "/Data/%07u", serial);
    ForceDirectories(dir.path + folder);
    File f;
    f.Open(dir.path + folder + "/password.txt", Access::Write, Share::None,
           Disposition::CreateAlways);
    f.Write("bench");
    char name[64];
    std::snprintf(name, sizeof name, "/%07u-100315.bin", serial);
    f.Open(dir.path + folder + name, Access::Write, Share::None, Disposition::CreateAlways);
    std::string data(fileSize, '\0');
    for (uint32_t i = 0; i < fileSize; ++i) data[i] = static_cast<char>(i * 7 + serial);
    f.Write(data);
  }
  const auto request = [](uint32_t serial) {
    return U32(36) + U16(2) + U32(1) + U32(26) + U32(serial) + std::string("bench   ") + "??????" +
           U32(0);
  };

  // Baseline: read the 36-byte request, then header, descriptor and file bytes in one send.
  std::vector<char> sendBuffer(answerSize);
  MinimalServer baseline([&](int fd) {
    char req[36];
    if (!ReadExactly(fd, req, sizeof req)) return;
    const uint32_t serial = GetU32(reinterpret_cast<uint8_t*>(req) + 14);
    char path[128];
    std::snprintf(path, sizeof path, "%s/Data/%07u/%07u-100315.bin", dir.path.c_str(), serial,
                  serial);
    uint8_t* out = reinterpret_cast<uint8_t*>(sendBuffer.data());
    PutU32(out, answerSize);
    PutU16(out + 4, 2);
    PutU32(out + 6, 1);
    PutU32(out + 10, 24);
    PutU32(out + 14, serial);
    std::memcpy(out + 18, "150310", 6);
    PutU32(out + 24, 0);
    PutU32(out + 28, fileSize);
    out[32] = 0;
    out[33] = 0;
    File f;
    if (!f.Open(path, Access::Read, Share::Read, Disposition::OpenExisting) ||
        !f.ReadAt(0, out + 34, fileSize))
      return;
    SendAllBytes(fd, sendBuffer.data(), answerSize);
  });

  DispatcherUnderTest server(dir.path, serials, 3);

  std::atomic<long> wrong{0};
  const auto measure = [&](uint16_t port) {
    const double secs = RunClients(clients, requests, [&](int c, int) {
      thread_local std::vector<char> buf(1 << 20);
      if (Ask(port, request(1000 + static_cast<uint32_t>(c)), buf) != answerSize) ++wrong;
    });
    return static_cast<double>(answerSize) * clients * requests / secs / 1e6;  // MB/s
  };

  // The warm-up rounds also fill the page cache.
  const RateUnit unit{"MB/s", 1};
  const Medians m = CompareRounds(
      rounds, unit, [&] { return measure(baseline.port); }, [&] { return measure(server.port); });
  server.Stop();
  char title[160];
  std::snprintf(title, sizeof title,
                "download: %d clients x %d requests of %u bytes per round, %d rounds (medians)",
                clients, requests, answerSize, rounds);
  return Report(title, m, unit, 0.7, wrong.load());
}
