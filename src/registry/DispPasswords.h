// Device passwords: the dispatcher password list built from the psw files of the Passwords
// tree (written out as DispPasswords.txt), and the password.txt file of a device folder that
// the device's first WiFi upload creates.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/FileHeadCache.h"
#include "registry/Layout.h"
#include "registry/SerialList.h"
#include "service/Settings.h"

namespace orbitrace {

// Passwords are compared as exactly eight bytes, shorter ones padded with spaces.
using TPassword8 = std::array<char, 8>;

struct TDispPassEntry {
  uint32_t Serial = 0;
  // Eight space-padded bytes and a zero byte; all zero for an empty password.
  std::array<char, 9> Password{};
};

using TDispPassListBuilder = TSerialListBuilder<TDispPassEntry>;

// The serial a password file name gives: the lower-case name must start with five to seven
// digits, any one character and "psw" ("12345.psw", "12345.psw.bak"). 0 when it does not match
// or the digits give 0.
uint32_t PasswordFileSerial(std::string_view fileName);

// Reads the psw files of `passwordsDir` + `subfolder` and five levels of subfolders into
// `list`: a file of 1 to 8 bytes whose serial is not listed yet gives an entry; the first file
// found for a serial wins.
void ScanPasswordsFolder(const std::string& passwordsDir, const std::string& subfolder,
                         TDispPassListBuilder& list);

class TDispPassList {
 public:
  // `busy` is the owner's PasswordsBusy flag; `requestRetry` asks for the rebuild again one
  // timer interval later.
  TDispPassList(const TSettings& settings, const MutexSlot& listMutex, bool& busy,
                std::function<void()> requestRetry);

  // Rebuilds the list from the Passwords tree and writes DispPasswords.txt (main thread).
  void UpdateDispPasswords();
  // A copy of the entry for `serial`; none when it has none or the list cannot be had within
  // 5000 ms. Any thread.
  std::optional<TDispPassEntry> FindDispPassword(uint32_t serial) const;
  void Clear();
  std::vector<TDispPassEntry> Snapshot() const;

 private:
  void WriteListFile(const std::vector<TDispPassEntry>& entries) const;

  const TSettings& settings_;
  bool& busy_;
  std::function<void()> requestRetry_;
  TSortedSerialList<TDispPassEntry> list_;
};

using PasswordFile = FileHeadResult;
// Reads the first eight bytes of a device folder's password.txt at `path` into `bytes` (spaces
// for the bytes the file does not have, a zero ninth byte), with read sharing only. Missing when
// the file does not exist, Unreadable when it exists but cannot be opened now. The bytes of a
// file are remembered with its version (see TFileHeadCache), so that reading an unchanged file
// again costs one look at its metadata.
PasswordFile ReadPasswordFile(const std::string& path, std::array<char, 9>& bytes);

// Checks the eight password bytes a WiFi device sent against its password.txt (any thread).
// Creates the data folder and the device folder when missing (false when that fails). On first
// contact (no file, or a file starting with a zero byte) the password, without its trailing
// bytes 0x00 to 0x20, is stored in a new read-only password.txt and accepted.
bool CheckDevicePassword(const std::string& dataFolder, uint32_t serial,
                         const TPassword8& password);

}  // namespace orbitrace
