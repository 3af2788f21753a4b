#include "registry/DispPasswords.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

constexpr size_t kMaxPasswordFileSize = 8;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads up to eight bytes of an open password file into a zeroed buffer and pads the rest of
// the eight with spaces.
void ReadPasswordBytes(File& f, std::array<char, 9>& buf) {
  buf.fill('\0');
  const int64_t n = f.Read(buf.data(), 8);
  for (size_t i = n > 0 ? static_cast<size_t>(n) : 0; i < 8; ++i) buf[i] = ' ';
}

// The password files already read, each with the version of the file it came from. A device
// sends its password with every upload; while its password.txt keeps the same version the bytes
// are known, and one look at the file's metadata replaces opening and reading it.
class PasswordCache {
 public:
  bool Find(const std::string& path, const FileVersion& version, std::array<char, 9>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = entries_.find(path);
    if (it == entries_.end() || !(it->second.version == version)) return false;
    bytes = it->second.bytes;
    return true;
  }
  void Store(const std::string& path, const FileVersion& version,
             const std::array<char, 9>& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    if (entries_.size() >= kMaxEntries) entries_.clear();  // bounded, whatever the fleet size
    entries_[path] = Entry{version, bytes};
  }

 private:
  static constexpr size_t kMaxEntries = 200000;
  struct Entry {
    FileVersion version;
    std::array<char, 9> bytes;
  };
  std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
};

PasswordCache& DevicePasswords() {
  static PasswordCache* cache = new PasswordCache;  // used by connection threads until the end
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

bool ReadDevicePassword(const std::string& dataFolder, uint32_t serial, TPassword8& password) {
  const std::string folder = DeviceFolder(dataFolder, serial);
  std::array<char, 9> bytes{};
  if (folder.empty() ||
      ReadPasswordFile(folder + "/" + kDevicePasswordFile, bytes) != PasswordFile::Read) {
    return false;
  }
  std::memcpy(password.data(), bytes.data(), 8);
  return true;
}

PasswordFile ReadPasswordFile(const std::string& path, std::array<char, 9>& bytes) {
  bytes.fill('\0');
  FileVersion version;
  if (GetFileVersion(path, version) && DevicePasswords().Find(path, version, bytes)) {
    return PasswordFile::Read;
  }
  File f;
  if (!f.Open(path, Access::Read, Share::Read, Disposition::OpenExisting)) {
    return errno == ENOENT ? PasswordFile::Missing : PasswordFile::Unreadable;
  }
  // The version is taken while the file is held for reading, before its bytes are read.
  const bool versioned = f.Version(version);
  ReadPasswordBytes(f, bytes);
  // A file that starts with a zero byte stands for no password and is not remembered.
  if (versioned && bytes[0] != '\0') DevicePasswords().Store(path, version, bytes);
  return PasswordFile::Read;
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
