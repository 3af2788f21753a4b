// Request rate of the dispatcher port for small requests: many clients at once send
// last-position requests for 10 devices each (170 bytes, answered with 208), one connection per
// request. Baseline: a minimal server that accepts, reads 170 bytes, answers 208 bytes and
// closes.
//
// Usage: dispatcher_small_bench [clients] [requests per client and round] [rounds] [devices]
// (devices per request, 10 unless given; 0 measures the connection alone)

#include "BenchSupport.h"
#include "registry/FileHeadCache.h"

using namespace orbitrace;
using namespace orbitrace::bench;

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 50;
  const int requests = argc > 2 ? std::atoi(argv[2]) : 100;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  const uint32_t devices = argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 10;
  const long answerSize = 8 + 20 * static_cast<long>(devices);
  const size_t requestSize = 10 + 16 * devices;

  Scratch dir;
  std::set<uint32_t> serials;
  std::string elements;
  for (uint32_t i = 0; i < devices; ++i) {
    const uint32_t serial = 2000 + i;
    serials.insert(serial);
    char folder[64];
    std::snprintf(folder, sizeof folder, "/Data/%07u", serial);
    ForceDirectories(dir.path + folder);
    File f;
    f.Open(dir.path + folder + "/password.txt", Access::Write, Share::None,
           Disposition::CreateAlways);
    f.Write("bench");
    f.Open(dir.path + folder + "/lastposition.bin", Access::Write, Share::None,
           Disposition::CreateAlways);
    f.Write(U32(10620432) + U32(553000000) + U32(373712345 | 2));
    elements += U32(16) + U32(serial) + "bench   ";
  }
  // Reads of files written less than the settle time ago are not remembered; a fleet's files
  // are mostly older than that, so the measurement starts once these have settled.
  std::this_thread::sleep_for(std::chrono::milliseconds(TFileHeadCache::kSettleMillis + 100));
  const std::string request =
      U32(static_cast<uint32_t>(requestSize)) + U16(192) + U32(devices) + elements;

  const std::string answer = U32(static_cast<uint32_t>(answerSize)) +
                             std::string(static_cast<size_t>(answerSize) - 4, '\1');
  MinimalServer baseline([&](int fd) {
    std::vector<char> req(requestSize);
    if (ReadExactly(fd, req.data(), req.size())) SendAllBytes(fd, answer.data(), answer.size());
  });

  DispatcherUnderTest server(dir.path, serials, 3);

  std::atomic<long> wrong{0};
  const auto measure = [&](uint16_t port) {
    const double secs = RunClients(clients, requests, [&](int, int) {
      thread_local std::vector<char> buf(4096);
      if (Ask(port, request, buf) != answerSize) ++wrong;
    });
    return clients * requests / secs;
  };

  const RateUnit unit{"req/s", 0};
  const Medians m = CompareRounds(
      rounds, unit, [&] { return measure(baseline.port); }, [&] { return measure(server.port); });
  server.Stop();
  char title[160];
  std::snprintf(title, sizeof title,
                "small requests: %d clients x %d requests for %u devices per round, %d rounds "
                "(medians)",
                clients, requests, devices, rounds);
  return Report(title, m, unit, 0.5, wrong.load());
}
