// Small builders for the registry tests: dBASE tables, named mutexes with names of their own,
// a journal in a scratch folder.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "logging/Journal.h"
#include "platform/NamedMutex.h"
#include "platform/TextCodec.h"
#include "registry/Layout.h"

namespace orbitrace::test {

struct DbfField {
  std::string name;
  uint8_t length;
  char type = 'C';
};

// A dBASE table. Records are given as field values (padded with spaces to the field length)
// behind a deletion flag; the header values can be overridden to build damaged tables.
struct DbfTable {
  uint8_t version = 3;
  std::vector<DbfField> fields = {{"SERNUM", 5}, {"PASSWORD", 8}};
  std::vector<std::string> records;  // whole records, see Record()
  int64_t recordCount = -1;          // -1: records.size()
  int64_t headerLength = -1;         // -1: the real header length
  int64_t recordLength = -1;         // -1: 1 + the sum of the field lengths
  bool descriptorTerminator = true;  // the 0x0D byte after the descriptors
  bool endOfData = true;             // a 0x1A byte after the records

  std::string Record(const std::vector<std::string>& values, char flag = ' ') const {
    std::string r(1, flag);
    for (size_t i = 0; i < fields.size(); ++i) {
      std::string v = i < values.size() ? values[i] : "";
      v.resize(fields[i].length, ' ');
      r += v;
    }
    return r;
  }

  std::string Build() const {
    const bool longLayout = version == 4;
    const size_t descSize = longLayout ? 48 : 32;
    const size_t areaStart = longLayout ? 68 : 32;
    std::string area;
    for (const DbfField& f : fields) {
      std::string d(descSize, '\0');
      d.replace(0, std::min(f.name.size(), longLayout ? size_t{32} : size_t{11}), f.name);
      d[longLayout ? 32 : 11] = f.type;
      d[longLayout ? 33 : 16] = static_cast<char>(f.length);
      area += d;
    }
    if (descriptorTerminator) area += '\x0D';
    size_t realRecordLength = 1;
    for (const DbfField& f : fields) realRecordLength += f.length;
    std::string out(areaStart, '\0');
    out[0] = static_cast<char>(version);
    Put32(out, 4,
          static_cast<uint32_t>(recordCount >= 0 ? recordCount
                                                 : static_cast<int64_t>(records.size())));
    Put16(out, 8,
          static_cast<uint16_t>(headerLength >= 0 ? headerLength
                                                  : static_cast<int64_t>(areaStart + area.size())));
    Put16(out, 10,
          static_cast<uint16_t>(recordLength >= 0 ? recordLength
                                                  : static_cast<int64_t>(realRecordLength)));
    out += area;
    for (const std::string& r : records) out += r;
    if (endOfData) out += '\x1A';
    return out;
  }

 private:
  static void Put16(std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
  }
  static void Put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
  }
};

// A named mutex under a name no other test uses; the name is removed again at the end.
class TestMutex {
 public:
  explicit TestMutex(const std::string& base) {
    static std::atomic<int> counter{0};
    name_ = base + "-" + std::to_string(counter++);
    slot = NamedMutex::Create(name_);
  }
  ~TestMutex() { NamedMutex::Remove(name_); }
  TestMutex(const TestMutex&) = delete;
  TestMutex& operator=(const TestMutex&) = delete;
  const std::string& name() const { return name_; }
  MutexSlot slot;

 private:
  std::string name_;
};

// A journal writing into `dir`/journal.log; Lines() gives its messages without time stamps.
class TestJournal {
 public:
  explicit TestJournal(const ScratchDir& dir) : path_(dir / "journal.log"), journal(clock_) {
    journal.SetFile(path_);
    journal.SetMutex(mutex_.slot.get());
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    const std::string text = Cp1251ToUtf8(ReadFile(path_));
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t end = text.find("\r\n", pos);
      const std::string line = text.substr(pos, end - pos);
      out.push_back(line.size() > 22 ? line.substr(22) : line);  // after "[dd.mm.yyyy hh:mm:ss] "
      if (end == std::string::npos) break;
      pos = end + 2;
    }
    return out;
  }

 private:
  std::string path_;
  SystemClock clock_;
  TestMutex mutex_{"journal"};

 public:
  TJournal journal;
};

// Creates the folders of `path` and writes `content` into it.
inline void WriteTree(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  WriteFile(path, content);
}

}  // namespace orbitrace::test
