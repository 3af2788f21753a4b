#include "registry/DeviceSources.h"

#include <algorithm>
#include <cstring>

#include "platform/FileSystem.h"

namespace orbitrace {

namespace {

constexpr uint32_t kMaxDBFSerial = 99999;
constexpr uint32_t kMinATGSerial = 10000;
constexpr uint32_t kMaxATGSerial = 9999999;
constexpr size_t kDBFHeaderSize = 32;
constexpr size_t kLongLayoutStart = 68;
constexpr unsigned char kDeletedRecord = '*';
constexpr unsigned char kEndOfData = 0x1A;
constexpr unsigned char kDescriptorEnd = 0x0D;

struct Layout {
  size_t areaStart;     // first descriptor
  size_t descSize;      // bytes per descriptor
  size_t nameSize;      // name bytes at the start of a descriptor
  size_t typeOffset;    // type letter
  size_t lengthOffset;  // field length; the decimal count follows it
};
constexpr Layout kShortLayout{32, 32, 11, 11, 16};
constexpr Layout kLongLayout{kLongLayoutStart, 48, 32, 32, 33};

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads exactly `n` bytes; false when the source ends or fails first.
bool ReadExact(ByteSource& in, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    const int64_t r = in.Read(p + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Spaces and control characters (every byte up to 0x20) removed from both ends.
std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
  return s;
}

// Decimal digits with an optional sign; false for anything else or a value beyond 32 bits.
bool ParseDecimal(std::string_view s, int64_t& out) {
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;
  int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 0xFFFFFFFFll) return false;
  }
  out = negative ? -value : value;
  return true;
}

bool IsRegexSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A file source read through a block buffer, so that record-sized reads stay cheap.
class BufferedFileSource : public ByteSource {
 public:
  explicit BufferedFileSource(File& file) : file_(file), buf_(64 * 1024) {}
  int64_t Read(void* out, size_t n) override {
    if (pos_ == len_) {
      const int64_t r = file_.Read(buf_.data(), buf_.size());
      if (r <= 0) return r;
      pos_ = 0;
      len_ = static_cast<size_t>(r);
    }
    const size_t take = std::min(n, len_ - pos_);
    std::memcpy(out, buf_.data() + pos_, take);
    pos_ += take;
    return static_cast<int64_t>(take);
  }

 private:
  File& file_;
  std::vector<char> buf_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

bool OpenSourceFile(const std::string& path, File& f) {
  // Only regular files: opening a FIFO or a device that happens to carry the extension could
  // block the scan.
  return FileExists(path) && f.Open(path, Access::Read, Share::Read, Disposition::OpenExisting);
}

}  // namespace

int64_t MemorySource::Read(void* buf, size_t n) {
  size_t take = std::min(n, data_.size() - pos_);
  if (chunk_ != 0) take = std::min(take, chunk_);
  if (take > 0) std::memcpy(buf, data_.data() + pos_, take);
  pos_ += take;
  return static_cast<int64_t>(take);
}

const TDBFField* FindFieldByName(const std::vector<TDBFField>& fields, std::string_view name) {
  for (const TDBFField& f : fields) {
    if (EqualsNoCase(f.FieldName, name)) return &f;
  }
  return nullptr;
}

bool ReadDBFTable(ByteSource& in, uint64_t fileSize, TDeviceListBuilder& list) {
  unsigned char header[kDBFHeaderSize];
  if (fileSize < kDBFHeaderSize || !ReadExact(in, header, sizeof header)) return false;
  const Layout& layout = header[0] == 4 ? kLongLayout : kShortLayout;
  const uint64_t recordCount = Le32(header + 4);
  const uint64_t headerLength = Le16(header + 8);
  const uint64_t recordLength = Le16(header + 10);
  // 64-bit arithmetic: count times length cannot overflow.
  if (recordCount == 0 || recordLength == 0 || headerLength < layout.areaStart ||
      headerLength > fileSize || fileSize < headerLength + recordCount * recordLength) {
    return false;
  }

  std::vector<unsigned char> area(layout.areaStart - kDBFHeaderSize);
  if (!area.empty() && !ReadExact(in, area.data(), area.size())) return false;  // skipped bytes
  area.resize(static_cast<size_t>(headerLength) - layout.areaStart);
  if (!area.empty() && !ReadExact(in, area.data(), area.size())) return false;

  std::vector<TDBFField> fields;
  uint64_t offset = 1;
  for (size_t p = 0; area.size() - p >= layout.descSize + 1 && area[p] != kDescriptorEnd;
       p += layout.descSize) {
    const unsigned char* d = area.data() + p;
    TDBFField field;
    const auto* name = reinterpret_cast<const char*>(d);
    field.FieldName.assign(name, strnlen(name, layout.nameSize));
    field.FieldType = static_cast<char>(d[layout.typeOffset]);
    field.FieldLength = d[layout.lengthOffset];
    field.Decimals = d[layout.lengthOffset + 1];
    field.FieldOffset = static_cast<uint32_t>(offset);
    offset += field.FieldLength;
    fields.push_back(std::move(field));
  }
  if (fields.empty() || offset != recordLength) return false;

  const TDBFField* sernum = FindFieldByName(fields, "SERNUM");
  const TDBFField* password = FindFieldByName(fields, "PASSWORD");
  if (sernum == nullptr || password == nullptr) return false;

  std::vector<char> record(static_cast<size_t>(recordLength));
  for (uint64_t i = 0; i < recordCount; ++i) {
    if (!ReadExact(in, record.data(), record.size())) break;
    const auto flag = static_cast<unsigned char>(record[0]);
    if (flag == kDeletedRecord) continue;
    if (flag == kEndOfData) break;
    const std::string_view rec(record.data(), record.size());
    int64_t serial = 0;
    if (!ParseDecimal(TrimBlanks(rec.substr(sernum->FieldOffset, sernum->FieldLength)), serial))
      continue;
    if (serial < 1 || serial > kMaxDBFSerial) continue;
    if (list.FindDevice(static_cast<uint32_t>(serial))) continue;
    list.Add(TGSMEntry{
        static_cast<uint32_t>(serial),
        std::string(TrimBlanks(rec.substr(password->FieldOffset, password->FieldLength)))});
  }
  return true;
}

bool ReadTextLine(const char* data, size_t size, size_t& pos, size_t maxLen, char* line,
                  size_t& lineLen) {
  size_t n = 0;
  while (n < maxLen && pos < size && data[pos] != '\r' && data[pos] != '\n') {
    line[n++] = data[pos++];
  }
  line[n] = '\0';
  lineLen = n;
  if (pos < size && (data[pos] == '\r' || data[pos] == '\n')) {
    const char partner = data[pos] == '\r' ? '\n' : '\r';
    ++pos;
    if (pos < size && data[pos] == partner) ++pos;
    return false;
  }
  if (n == maxLen) return false;
  return true;
}

bool MatchATGLine(std::string_view line, std::string_view& serialDigits,
                  std::string_view& password) {
  static constexpr std::string_view kKey = "PASSWORD=";
  line = line.substr(0, std::min(line.size(), line.find('\0')));
  size_t p = 0;
  while (p < line.size() && line[p] >= '0' && line[p] <= '9') ++p;
  if (p < 5 || p > 7 || p >= line.size() || line[p] != ':') return false;
  serialDigits = line.substr(0, p);
  const size_t blanks = ++p;
  while (p < line.size() && IsRegexSpace(line[p])) ++p;
  if (p == blanks || line.substr(p, kKey.size()) != kKey) return false;
  p += kKey.size();
  const size_t end = line.find(';', p);
  if (end == std::string_view::npos || end == p) return false;
  password = line.substr(p, end - p);
  return true;
}

void ReadATGText(ByteSource& in, uint64_t size, TDeviceListBuilder& list) {
  if (size == 0) return;
  const size_t mark = list.Size();
  // A window over the text that always holds a whole line and its line end, or the end of the
  // text, so that lines come out exactly as from the text in one piece.
  constexpr size_t kLookahead = kMaxTextLine + 2;
  std::vector<char> buf(64 * 1024 + kLookahead);
  size_t begin = 0;
  size_t end = 0;
  uint64_t received = 0;
  bool shortRead = false;
  char line[kMaxTextLine + 1];
  for (;;) {
    if (end - begin < kLookahead && received < size) {
      std::memmove(buf.data(), buf.data() + begin, end - begin);
      end -= begin;
      begin = 0;
      while (received < size && end < buf.size()) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(buf.size() - end, size - received));
        const int64_t r = in.Read(buf.data() + end, want);
        if (r <= 0) {
          shortRead = true;
          break;
        }
        end += static_cast<size_t>(r);
        received += static_cast<uint64_t>(r);
      }
      if (shortRead) break;
    }
    size_t pos = 0;
    size_t len = 0;
    const bool atEnd = ReadTextLine(buf.data() + begin, end - begin, pos, kMaxTextLine, line, len);
    begin += pos;
    if (atEnd && len == 0) break;
    if (len == 0) continue;
    std::string_view digits;
    std::string_view password;
    if (!MatchATGLine(std::string_view(line, len), digits, password)) continue;
    int64_t serial = -1;
    if (!ParseDecimal(digits, serial)) serial = -1;
    if (serial < kMinATGSerial || serial > kMaxATGSerial) continue;
    if (password.empty() || list.FindDevice(static_cast<uint32_t>(serial))) continue;
    list.Add(TGSMEntry{static_cast<uint32_t>(serial), std::string(password)});
  }
  // A text that did not arrive whole gives nothing.
  if (shortRead) list.Truncate(mark);
}

bool ReadDBFDeviceFile(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list, const std::string& name) {
  const size_t dot = name.find_last_of('.');
  const size_t extLength = dot == std::string::npos ? name.size() : name.size() - dot - 1;
  if (extLength != 3) return false;
  File f;
  if (!OpenSourceFile(root + subfolder + name, f)) return false;
  const int64_t size = f.Size();
  if (size < 0) return false;
  BufferedFileSource source(f);
  return ReadDBFTable(source, static_cast<uint64_t>(size), list);
}

bool ReadATGDeviceFile(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list, const std::string& name) {
  File f;
  if (!OpenSourceFile(root + subfolder + name, f)) return true;
  const int64_t size = f.Size();
  if (size <= 0) return true;
  BufferedFileSource source(f);
  ReadATGText(source, static_cast<uint64_t>(size), list);
  return true;
}

void ScanDeviceSources(const std::string& root, const std::string& subfolder,
                       TDeviceListBuilder& list) {
  std::string base = root;
  if (base.empty() || base.back() != '/') base.push_back('/');
  WalkSourceTree(base, subfolder, [&](const std::string& sub, const std::string& name) {
    if (name.size() < 3) return;
    const std::string ext = ToLowerAscii(std::string_view(name).substr(name.size() - 3));
    if (ext == "atg") {
      ReadATGDeviceFile(base, sub, list, name);
    } else if (ext == "dbf") {
      ReadDBFDeviceFile(base, sub, list, name);
    }
  });
}

}  // namespace orbitrace
