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

std::string UniqueIpcPrefix() { return "orbitrace-test-" + std::to_string(getpid()) + "-"; }

namespace {
// Every test process uses its own mutex names, so parallel test runs never share them.
struct IpcPrefixSetter {
  IpcPrefixSetter() { setenv("ORBITRACE_IPC_PREFIX", UniqueIpcPrefix().c_str(), 1); }
} g_prefixSetter;
}  // namespace

}  // namespace orbitrace::test
