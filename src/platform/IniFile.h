// Initialisation file in the classic profile format: "[Section]" headers and "Key=Value" lines.
// Sections and keys are matched without regard to ASCII letter case; the first match wins.
// Every read looks at the file as it is on disk, and every write rewrites it at once, editing
// only the affected line so comments, order and unknown keys stay as they were.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orbitrace {

// Raised when a write cannot be stored (file read-only, folder not writable, ...).
class IniWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class IniFile {
 public:
  // Longest value a read returns; longer values are cut.
  static constexpr size_t kMaxValueLength = 2047;

  explicit IniFile(std::string path) : path_(std::move(path)) {}

  bool ValueExists(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback) const;
  // Integer with the profile reading rules: optional sign, decimal, or hexadecimal after "0x",
  // "0X" or "$"; anything else (empty, trailing text, out of 32-bit range) gives `fallback`.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t fallback) const;
  bool ReadBool(std::string_view section, std::string_view key, bool fallback) const {
    return ReadInteger(section, key, fallback ? 1 : 0) != 0;
  }
  // Every key line of the first `section`, in file order: the key name and its value as
  // ReadString would return it for that line. Empty when the file or the section is missing.
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(
      std::string_view section) const;

  // Writes raise IniWriteError when the file cannot be stored.
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  // Deleting never raises; a key that is absent or a file that cannot be written is ignored.
  void DeleteKey(std::string_view section, std::string_view key) noexcept;

 private:
  std::string path_;
};

// The integer reading rule on its own (exposed for tests and other readers).
bool ParseProfileInteger(std::string_view text, int32_t& out);

}  // namespace orbitrace
