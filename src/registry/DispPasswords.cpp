#include "registry/DispPasswords.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "platform/FileSystem.h"
#include "registry/FileHeadCache.h"

namespace orbitrace {

namespace {

constexpr size_t kMaxPasswordFileSize = 8;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The password.txt files already read. A device sends its password with every upload and a
// dispatcher with every request; while the file keeps its version the bytes are known.
TFileHeadCache& PasswordFiles() {
  static TFileHeadCache* cache = new TFileHeadCache;  // used by connection threads until the end
  return *cache;
}

}  // namespace

uint32_t PasswordFileSerial(std::string_view fileName) {
  const std::string name = ToLowerAscii(fileName);
  // Five to seven digits, any one character but a line feed, then "psw"; the longest run of
  // digits that lets the rest match is taken.
  for (size_t k = 7; k >= 5; --k) {
    if (name.size() < k + 4) continue;
    bool digits = true;
    for (size_t i = 0; i < k && digits; ++i) digits = IsDigit(name[i]);
    if (!digits || name[k] == '\n' || name.compare(k + 1, 3, "psw") != 0) continue;
    uint32_t serial = 0;
    for (size_t i = 0; i < k; ++i) serial = serial * 10 + static_cast<uint32_t>(name[i] - '0');
    return serial;
  }
  return 0;
}

void ScanPasswordsFolder(const std::string& passwordsDir, const std::string& subfolder,
                         TDispPassListBuilder& list) {
  std::string base = passwordsDir;
  if (base.empty() || base.back() != '/') base.push_back('/');
  WalkSourceTree(base, subfolder, [&](const std::string& sub, const std::string& name) {
    const uint32_t serial = PasswordFileSerial(name);
    if (serial == 0 || list.FindDevice(serial)) return;
    const std::string path = base + sub + name;
    File f;
    if (!FileExists(path) ||
        !f.Open(path, Access::Read, Share::ReadWrite, Disposition::OpenExisting)) {
      return;
    }
    const int64_t size = f.Size();
    if (size < 1 || size > static_cast<int64_t>(kMaxPasswordFileSize)) return;
    char data[kMaxPasswordFileSize];
    if (f.Read(data, static_cast<size_t>(size)) != size) return;
    const size_t length = strnlen(data, static_cast<size_t>(size));
    TDispPassEntry entry;
    entry.Serial = serial;
    if (length > 0) {
      std::memcpy(entry.Password.data(), data, length);
      for (size_t i = length; i < 8; ++i) entry.Password[i] = ' ';
    }
    list.Add(entry);
  });
}

TDispPassList::TDispPassList(const TSettings& settings, const MutexSlot& listMutex, bool& busy,
                             std::function<void()> requestRetry)
    : settings_(settings), busy_(busy), requestRetry_(std::move(requestRetry)), list_(listMutex) {}

void TDispPassList::UpdateDispPasswords() {
  busy_ = true;
  try {
    ForceDirectories(settings_.PasswordsDir);
    TDispPassListBuilder builder;
    ScanPasswordsFolder(settings_.PasswordsDir, "", builder);
    std::vector<TDispPassEntry> entries = builder.TakeSorted();
    WriteListFile(entries);
    if (!list_.Swap(entries, kDispSwapWaitMs) && requestRetry_) requestRetry_();
  } catch (const std::exception&) {
    // Out of memory or a failed listing: the old list stays until the next change.
  }
  busy_ = false;
}

void TDispPassList::WriteListFile(const std::vector<TDispPassEntry>& entries) const {
  TListFileWriter out;
  if (!out.Open(settings_.ProgramDir + "/" + kDispPasswordsFile)) return;
  char line[64];
  int n = std::snprintf(line, sizeof line, "Dev count: %d\r\n", static_cast<int>(entries.size()));
  out.WriteLine(std::string_view(line, static_cast<size_t>(n)));
  for (const TDispPassEntry& e : entries) {
    n = std::snprintf(line, sizeof line, "%7u\t%s\r\n", e.Serial, e.Password.data());
    out.WriteLine(std::string_view(line, static_cast<size_t>(n)));
  }
  out.Close();
}

std::optional<TDispPassEntry> TDispPassList::FindDispPassword(uint32_t serial) const {
  return list_.Find(serial, kDispLookupWaitMs);
}

void TDispPassList::Clear() {
  list_.ForceClear(kDispLookupWaitMs);
}

std::vector<TDispPassEntry> TDispPassList::Snapshot() const {
  return list_.Snapshot(kDispLookupWaitMs);
}

PasswordFile ReadPasswordFile(const std::string& path, std::array<char, 9>& bytes) {
  bytes.fill('\0');
  TFileHead head;
  const PasswordFile result = PasswordFiles().Read(path, head);
  if (result == PasswordFile::Read) {
    const size_t n = std::min(head.size, size_t{8});
    std::copy_n(head.bytes.begin(), n, bytes.begin());
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(n), bytes.begin() + 8, ' ');
  }
  return result;
}

bool CheckDevicePassword(const std::string& dataFolder, uint32_t serial,
                         const TPassword8& password) {
  const std::string folder = DeviceFolder(dataFolder, serial);
  if (folder.empty()) return false;
  const std::string path = folder + "/" + kDevicePasswordFile;
  std::array<char, 9> stored{};
  const PasswordFile read = ReadPasswordFile(path, stored);
  // A file that is there but cannot be read now (locked by a writer, no descriptors left, no
  // permission) refuses the device, rather than make it a first contact that would accept any
  // password and replace the stored one.
  if (read == PasswordFile::Unreadable) return false;
  const bool opened = read == PasswordFile::Read;
  if (!opened) {
    if (!DirectoryExists(dataFolder) && !ForceDirectories(dataFolder)) return false;
    // Another connection of the same device may create the folder at the same moment.
    if (!DirectoryExists(folder) && !CreateDir(folder) && !DirectoryExists(folder)) return false;
  }
  if (stored[0] == '\0') {
    // First contact: keep the password the device presented.
    size_t length = password.size();
    while (length > 0 && static_cast<unsigned char>(password[length - 1]) <= 0x20) --length;
    File f;
    if (f.Open(path, Access::Write, Share::Read, Disposition::CreateAlways)) {
      f.Write(password.data(), length);
      SetReadOnly(path, true);
    }
    return true;
  }
  return std::memcmp(stored.data(), password.data(), 8) == 0;
}

}  // namespace orbitrace
