// Timing of the device registry on a generated DBF tree of 100,000 devices: the rebuild of the
// device list, and IsDeviceServed from two threads against a linear walk of the same list under
// the same named mutex.
//
// Usage: registry_bench [devices] [lookups]   (defaults 100000 and 1000000)
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "logging/Journal.h"
#include "platform/FileSystem.h"
#include "platform/NamedMutex.h"
#include "registry/DeviceList.h"

using namespace orbitrace;
using Steady = std::chrono::steady_clock;

namespace {

double Seconds(Steady::duration d) {
  return std::chrono::duration<double>(d).count();
}

void WriteBytes(const std::string& path, const std::string& data) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A dBASE table (short layout, SERNUM 5 and PASSWORD 8) with the given serials.
std::string Table(uint32_t first, uint32_t count) {
  std::string out(32, '\0');
  auto put = [&](size_t at, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
      out[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  };
  out[0] = 3;
  put(4, count, 4);
  put(8, 32 + 64 + 1, 2);
  put(10, 14, 2);
  for (const auto& [name, len] : {std::pair<std::string, int>{"SERNUM", 5}, {"PASSWORD", 8}}) {
    std::string d(32, '\0');
    d.replace(0, name.size(), name);
    d[11] = 'C';
    d[16] = static_cast<char>(len);
    out += d;
  }
  out += '\x0D';
  char rec[32];
  for (uint32_t s = first; s < first + count; ++s) {
    std::snprintf(rec, sizeof rec, " %5u%-8s", s, "pass");
    out.append(rec, 14);
  }
  out += '\x1A';
  return out;
}

// Half the devices in dBASE tables (serials 1..), half in ATG files (serials 100000..), spread
// over two levels of subfolders.
void GenerateTree(const std::string& dbf, uint32_t devices) {
  const uint32_t perFile = 1000;
  const uint32_t inTables = std::min<uint32_t>(devices / 2, 99000);
  uint32_t file = 0;
  for (uint32_t s = 1; s <= inTables; s += perFile, ++file) {
    const uint32_t n = std::min(perFile, inTables - s + 1);
    WriteBytes(dbf + "region" + std::to_string(file % 10) + "/t" + std::to_string(file) + ".dbf",
               Table(s, n));
  }
  const uint32_t inText = devices - inTables;
  for (uint32_t i = 0; i < inText; i += perFile, ++file) {
    std::string text;
    for (uint32_t k = i; k < std::min(inText, i + perFile); ++k) {
      text += std::to_string(100000 + k) + ":\tPASSWORD=pw" + std::to_string(k % 97) + ";\r\n";
    }
    WriteBytes(
        dbf + "region" + std::to_string(file % 10) + "/atg/l" + std::to_string(file) + ".atg",
        text);
  }
}

// Runs `perThread` lookups on each of two threads; returns the wall time and the hits.
template <typename Lookup>
std::pair<double, uint64_t> TwoThreads(uint64_t perThread, uint32_t maxSerial, Lookup lookup) {
  std::atomic<uint64_t> hits{0};
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  auto body = [&](uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<uint32_t> dist(1, maxSerial);
    std::vector<uint32_t> serials(perThread);
    for (auto& s : serials) s = dist(rng);
    ++ready;
    while (!go) std::this_thread::yield();
    uint64_t h = 0;
    for (uint32_t s : serials) h += lookup(s) ? 1 : 0;
    hits += h;
  };
  std::thread a(body, 1);
  std::thread b(body, 2);
  while (ready < 2) std::this_thread::yield();
  const auto t0 = Steady::now();
  go = true;
  a.join();
  b.join();
  return {Seconds(Steady::now() - t0), hits.load()};
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t devices = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 100000;
  const uint64_t lookups = argc > 2 ? std::stoull(argv[2]) : 1000000;
  const std::string prefix = "orbitrace-bench-" + std::to_string(getpid()) + "-";
  setenv("ORBITRACE_IPC_PREFIX", prefix.c_str(), 1);

  char tmpl[] = "/tmp/orbitrace-bench-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) return 1;
  const std::string root = tmpl;
  TSettings settings;
  settings.DerivePaths(root);
  std::printf("Generating %u devices under %s ...\n", devices, settings.DBFDir.c_str());
  GenerateTree(settings.DBFDir, devices);

  MutexSlot listMutex = NamedMutex::Create("BenchGSMEntListMutex");
  MutexSlot updateMutex = NamedMutex::Create("BenchGSMEntUpdateMutex");
  MutexSlot journalMutex = NamedMutex::Create("BenchJournalMutex");
  TJournal journal(SystemClock::Instance());
  journal.SetFile(root + "/journal.log");
  journal.SetMutex(journalMutex.get());
  bool busy = false;
  TDeviceList list(settings, listMutex, updateMutex, journal, busy, nullptr);

  // Rebuild: scan, sort, Devices.txt, swap. The tree was just written, so every run reads it
  // from the page cache.
  std::vector<double> rebuilds;
  for (int i = 0; i < 5; ++i) {
    const auto t0 = Steady::now();
    list.UpdateDeviceList();
    rebuilds.push_back(Seconds(Steady::now() - t0));
  }
  std::sort(rebuilds.begin(), rebuilds.end());
  const size_t listed = list.Snapshot().size();
  std::printf("UpdateDeviceList, %zu devices listed: min %.3f s, median %.3f s, max %.3f s\n",
              listed, rebuilds.front(), rebuilds[rebuilds.size() / 2], rebuilds.back());

  const uint32_t maxSerial = 100000 + devices;  // about half the lookups miss
  const auto [bisectSeconds, bisectHits] =
      TwoThreads(lookups / 2, maxSerial, [&](uint32_t s) { return list.IsDeviceServed(s); });
  const double bisectNs = bisectSeconds * 1e9 / static_cast<double>(lookups);
  std::printf(
      "IsDeviceServed: %llu lookups on 2 threads in %.3f s (%.1f ns per lookup, %llu hits)\n",
      static_cast<unsigned long long>(lookups), bisectSeconds, bisectNs,
      static_cast<unsigned long long>(bisectHits));

  // The same lookups as a walk over every entry of the same list under the same mutex. A
  // million of them would take minutes, so a share is timed and the time per lookup compared.
  const std::vector<TGSMEntry> entries = list.Snapshot();
  const uint64_t linearLookups = std::max<uint64_t>(2, lookups / 500);
  const auto [linearSeconds, linearHits] =
      TwoThreads(linearLookups / 2, maxSerial, [&](uint32_t s) {
        NamedLock lock(listMutex.get(), kDeviceLookupWaitMs);
        if (!lock) return false;
        bool found = false;
        for (const TGSMEntry& e : entries) found |= e.Serial == s;
        return found;
      });
  const double linearNs = linearSeconds * 1e9 / static_cast<double>(linearLookups);
  std::printf(
      "Linear walk:    %llu lookups on 2 threads in %.3f s (%.1f ns per lookup, %llu hits)"
      " -> %.1f s for %llu\n",
      static_cast<unsigned long long>(linearLookups), linearSeconds, linearNs,
      static_cast<unsigned long long>(linearHits), linearNs * static_cast<double>(lookups) / 1e9,
      static_cast<unsigned long long>(lookups));
  std::printf("Bisection is %.0f times faster per lookup than the linear walk.\n",
              linearNs / bisectNs);

  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  for (const char* n : {"BenchGSMEntListMutex", "BenchGSMEntUpdateMutex", "BenchJournalMutex"})
    NamedMutex::Remove(n);
  return listed == devices ? 0 : 2;
}
