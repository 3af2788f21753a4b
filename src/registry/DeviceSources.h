// The sources of the device list in the DBF folder tree: dBASE tables (extension dbf) with the
// fields SERNUM and PASSWORD, and text files (extension atg) with one "serial: PASSWORD=...;"
// line per device. Files that do not have the expected layout are skipped without a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/SerialList.h"

namespace orbitrace {

// One served device.
struct TGSMEntry {
  uint32_t Serial = 0;
  std::string Password;  // as the source file gives it; nothing reads it back
};

using TDeviceListBuilder = TSerialListBuilder<TGSMEntry>;

// Bytes read in order from a file or from memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `n` bytes; the number read (0 at the end), or -1 on an error.
  virtual int64_t Read(void* buf, size_t n) = 0;
};

// A byte source over a memory block (tests and fuzzing). `chunk` limits how many bytes one
// Read returns (0: no limit), to exercise readers that refill their buffers.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view data, size_t chunk = 0) : data_(data), chunk_(chunk) {}
  int64_t Read(void* buf, size_t n) override;

 private:
  std::string_view data_;
  size_t chunk_;
  size_t pos_ = 0;
};

// One field descriptor of a dBASE table.
struct TDBFField {
  std::string FieldName;  // up to 32 characters
  char FieldType = 0;
  uint32_t FieldLength = 0;
  uint32_t Decimals = 0;
  uint32_t FieldOffset = 0;  // position in a record; the deletion flag is at 0
};

// The first field whose name equals `name` without regard to letter case, or null.
const TDBFField* FindFieldByName(const std::vector<TDBFField>& fields, std::string_view name);

// Reads a dBASE table of `fileSize` bytes from `in` and adds its devices (serials 1 to 99,999
// not yet in `list`). Returns whether the layout was accepted. A source that ends early stops
// the reading at the first short record and keeps what was read.
bool ReadDBFTable(ByteSource& in, uint64_t fileSize, TDeviceListBuilder& list);

// Reads the text of an ATG file of `size` bytes from `in` and adds its devices (serials 10,000
// to 9,999,999 not yet in `list`). When fewer than `size` bytes arrive nothing is taken from it.
// Lines are taken as ReadTextLine cuts them; the text is read in blocks, so memory stays small
// whatever the file size.
void ReadATGText(ByteSource& in, uint64_t size, TDeviceListBuilder& list);

// Longest line ReadTextLine hands out for ATG files; longer lines are cut into pieces.
constexpr size_t kMaxTextLine = 1024;

// Copies the next line of `data[0, size)` from `pos` into `line` (room for `maxLen` + 1 bytes),
// zero-terminated, and sets `lineLen`. A line ends at CR, LF, CR LF or LF CR, which are stepped
// over, or after `maxLen` bytes; the rest of a longer line comes with the next call. Returns
// true when it stopped at the end of the data.
bool ReadTextLine(const char* data, size_t size, size_t& pos, size_t maxLen, char* line,
                  size_t& lineLen);

// Matches one ATG line: five to seven digits at its start, a colon, one or more white-space
// characters, "PASSWORD=", one or more characters other than ';', then ';'. The line counts up
// to its first zero byte.
bool MatchATGLine(std::string_view line, std::string_view& serialDigits,
                  std::string_view& password);

// The file readers: `root` + `subfolder` + `name`. ReadDBFDeviceFile answers whether the
// layout was accepted; ReadATGDeviceFile always answers true.
bool ReadDBFDeviceFile(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list, const std::string& name);
bool ReadATGDeviceFile(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list, const std::string& name);

// Reads every dBASE and ATG file in `root` + `subfolder` and its subfolders (five levels) into
// `list`; the first file that names a serial decides its password.
void ScanDeviceSources(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list);

}  // namespace orbitrace
