#include "registry/DeviceSources.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "RegistryFixtures.h"

namespace orbitrace::test {
namespace {

using Devices = std::vector<std::pair<uint32_t, std::string>>;

Devices ListOf(const TDeviceListBuilder& list) {
  Devices out;
  for (const TGSMEntry& e : list.Entries()) out.emplace_back(e.Serial, e.Password);
  return out;
}

DbfTable Valid() {
  DbfTable t;
  t.records = {t.Record({"12345", "secret"}), t.Record({"  7", "  pw  "})};
  return t;
}

TEST(DeviceSourcesTest, DBFTables) {
  struct Case {
    const char* what;
    std::function<void(DbfTable&)> change;
    bool accepted;
    Devices devices;
  };
  const Devices both = {{12345, "secret"}, {7, "pw"}};
  const Case cases[] = {
      {"short layout", [](DbfTable&) {}, true, both},
      {"long layout", [](DbfTable& t) { t.version = 4; }, true, both},
      {"field names in lower case",
       [](DbfTable& t) {
         t.fields[0].name = "sernum";
         t.fields[1].name = "Password";
       },
       true, both},
      {"extra fields in any order",
       [](DbfTable& t) {
         t.fields = {{"NAME", 3}, {"PASSWORD", 4}, {"SERNUM", 6}};
         t.records = {t.Record({"abc", "pw", "  4711"})};
       },
       true,
       {{4711, "pw"}}},
      {"deleted records and the end mark",
       [](DbfTable& t) {
         t.records = {t.Record({"11111", "a"}, '*'), t.Record({"22222", "b"}),
                      t.Record({"33333", "c"}, '\x1A'), t.Record({"44444", "d"})};
       },
       true,
       {{22222, "b"}}},
      {"serials out of range or not numbers",
       [](DbfTable& t) {
         t.fields[0].length = 6;
         t.records = {
             t.Record({"", "a"}),      t.Record({"12a45", "b"}),   t.Record({"0", "c"}),
             t.Record({"-5", "d"}),    t.Record({"99999", "e"}),   t.Record({"1 2", "f"}),
             t.Record({" 00042", ""}), t.Record({"99999", "dup"}), t.Record({"100000", "g"})};
       },
       true,
       {{99999, "e"}, {42, ""}}},
      {"field lengths that do not add up", [](DbfTable& t) { t.recordLength = 15; }, false, {}},
      {"no SERNUM field", [](DbfTable& t) { t.fields[0].name = "SERIAL"; }, false, {}},
      {"no record", [](DbfTable& t) { t.records.clear(); }, false, {}},
      {"records beyond the end of the file", [](DbfTable& t) { t.recordCount = 3; }, false, {}},
      {"record count whose size wraps at 32 bits",
       [](DbfTable& t) { t.recordCount = 306783379; },  // times 14 is 2^32 + 10
       false,
       {}},
      {"header length beyond the file", [](DbfTable& t) { t.headerLength = 4000; }, false, {}},
      {"header length inside the fixed header",
       [](DbfTable& t) { t.headerLength = 31; },
       false,
       {}},
      {"long layout header shorter than its descriptor start",
       [](DbfTable& t) {
         t.version = 4;
         t.headerLength = 60;
       },
       false,
       {}},
      {"descriptors without the end byte lose the last one",
       [](DbfTable& t) { t.descriptorTerminator = false; },
       false,
       {}},
  };
  for (const Case& c : cases) {
    DbfTable t = Valid();
    c.change(t);
    const std::string data = t.Build();
    TDeviceListBuilder list;
    MemorySource source(data);
    EXPECT_EQ(ReadDBFTable(source, data.size(), list), c.accepted) << c.what;
    EXPECT_EQ(ListOf(list), c.devices) << c.what;
  }
}

TEST(DeviceSourcesTest, DBFTableThatShrinksKeepsWhatWasRead) {
  DbfTable t = Valid();
  t.records.push_back(t.Record({"333", "x"}));
  const std::string data = t.Build();
  // The header promises three records; the data ends inside the second one.
  const std::string cut = data.substr(0, data.size() - 20);
  TDeviceListBuilder list;
  MemorySource source(cut, 5);
  EXPECT_TRUE(ReadDBFTable(source, data.size(), list));
  EXPECT_EQ(ListOf(list), (Devices{{12345, "secret"}}));
  // Too short for the header itself.
  MemorySource tiny(std::string_view(data).substr(0, 20));
  EXPECT_FALSE(ReadDBFTable(tiny, 20, list));
}

TEST(DeviceSourcesTest, ATGText) {
  struct Case {
    const char* what;
    std::string text;
    Devices devices;
  };
  const std::string longLine = std::string(1024, 'x') + "23456: PASSWORD=two;" +
                               std::string(1004, 'y') + "34567: PASSWORD=three;" +
                               std::string(930, 'z');
  const Case cases[] = {
      {"blank or tab",
       "12345: PASSWORD=abc;\r\n23456:\t \tPASSWORD=d e;tail\r\n",
       {{12345, "abc"}, {23456, "d e"}}},
      {"seven digits, password kept as written", "1234567:  PASSWORD= a;b ;\n", {{1234567, " a"}}},
      {"no match",
       "12345: Password=abc;\n1234: PASSWORD=a;\n09999: PASSWORD=a;\n12345678: PASSWORD=a;\n"
       "12345:PASSWORD=a;\n12345: PASSWORD=;\n12345: PASSWORD=abc\n 12345: PASSWORD=a;\n",
       {}},
      {"every line end, last line without one",
       "10001: PASSWORD=a;\r10002: PASSWORD=b;\n10003: PASSWORD=c;\r\n\r\n10004: PASSWORD=d;\n\r"
       "10005: PASSWORD=e;",
       {{10001, "a"}, {10002, "b"}, {10003, "c"}, {10004, "d"}, {10005, "e"}}},
      {"first line of a serial wins", "10001: PASSWORD=a;\n10001: PASSWORD=b;\n", {{10001, "a"}}},
      {"a zero byte ends the line",
       std::string("10001: PASSWORD=a\0b;\n10002: PASSWORD=c;", 39),
       {{10002, "c"}}},
      {"long lines are cut every 1024 bytes", longLine + "\n", {{23456, "two"}, {34567, "three"}}},
  };
  for (const Case& c : cases) {
    for (size_t chunk : {size_t{0}, size_t{7}}) {
      TDeviceListBuilder list;
      MemorySource source(c.text, chunk);
      ReadATGText(source, c.text.size(), list);
      EXPECT_EQ(ListOf(list), c.devices) << c.what << ", chunk " << chunk;
    }
  }
}

TEST(DeviceSourcesTest, ATGTextThatArrivesShortGivesNothing) {
  TDeviceListBuilder list;
  list.Add(TGSMEntry{777, "kept"});
  const std::string text = "10001: PASSWORD=a;\n" + std::string(200000, '\n') + "10002: PW";
  MemorySource source(text);
  ReadATGText(source, text.size() + 10, list);
  EXPECT_EQ(ListOf(list), (Devices{{777, "kept"}}));
  EXPECT_FALSE(list.FindDevice(10001));
}

TEST(DeviceSourcesTest, ReadTextLineSplitsLongLines) {
  const std::string text = std::string(3000, 'a') + "\r\nb";
  std::vector<size_t> lengths;
  char line[kMaxTextLine + 1];
  size_t pos = 0;
  size_t len = 0;
  for (;;) {
    const bool atEnd = ReadTextLine(text.data(), text.size(), pos, kMaxTextLine, line, len);
    if (atEnd && len == 0) break;
    lengths.push_back(len);
    EXPECT_EQ(line[len], '\0');
  }
  EXPECT_EQ(lengths, (std::vector<size_t>{1024, 1024, 952, 1}));
}

TEST(DeviceSourcesTest, ScanReadsTheTreeByExtensionAndDepth) {
  ScratchDir dir;
  const std::string root = dir / "DBF/";
  auto table = [](const std::string& serial) {
    DbfTable t;
    t.records = {t.Record({serial, "pw"})};
    return t.Build();
  };
  WriteTree(root + "DEVICES.DBF", table("101"));
  WriteTree(root + "olddbf", table("102"));            // no extension: not a table
  WriteTree(root + "list.Atg", "20001: PASSWORD=a;");  // extension in any case
  WriteTree(root + "notes.txt", "20002: PASSWORD=a;");
  WriteTree(root + ".hidden/x.atg", "20003: PASSWORD=a;");
  WriteTree(root + "1/2/3/4/5/deep.atg", "20004: PASSWORD=a;");
  WriteTree(root + "1/2/3/4/5/6/deeper.atg", "20005: PASSWORD=a;");
  WriteTree(root + "bad.dbf", "garbage");
  // A link back up the tree and a pipe with a source extension must not stall the scan.
  std::filesystem::create_directory_symlink("..", root + "1/2/loop");
  ASSERT_EQ(mkfifo((root + "pipe.atg").c_str(), 0644), 0);

  TDeviceListBuilder list;
  ScanDeviceSources(root, "", list);
  std::vector<uint32_t> serials;
  for (const TGSMEntry& e : list.TakeSorted()) serials.push_back(e.Serial);
  EXPECT_EQ(serials, (std::vector<uint32_t>{101, 20001, 20004}));
}

}  // namespace
}  // namespace orbitrace::test
