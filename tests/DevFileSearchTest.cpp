#include "dispatcher/DevFileSearch.h"

#include <gtest/gtest.h>

#include "DispTestSupport.h"

namespace orbitrace {
namespace {

using namespace test;

TEST(DevFileSearchTest, FileNamesQualifyByKindAndDate) {
  struct Case {
    const char* name;
    const char* kind;
    std::optional<Date> date;
  } cases[] = {
      {"0000123-100315.bin", "bin", Date{2010, 3, 15}},
      {"0000123-100315.BIN", "bin", Date{2010, 3, 15}},
      {"0000123-100315.Route", "route", Date{2010, 3, 15}},
      {"0000123-991231.sbin", "sbin", Date{2099, 12, 31}},
      {"0000123-000101.bin", "bin", Date{2000, 1, 1}},
      {"0000123-080229.bin", "bin", Date{2008, 2, 29}},
      {"0000123-090229.bin", "bin", std::nullopt},  // no 29 February in 2009
      {"0000123-100332.bin", "bin", std::nullopt},
      {"0000123-100015.bin", "bin", std::nullopt},
      {"0000123-100315.binv2", "bin", std::nullopt},
      {"0000123-100315.sbin", "bin", std::nullopt},
      {"0000123-1003xx.bin", "bin", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ConvertOnlineFileText(c.name, c.kind), c.date) << c.name;

  EXPECT_TRUE(MatchesDevFilePattern("0000123-abcdef.BiN", 123, "bin"));
  EXPECT_FALSE(MatchesDevFilePattern("0000124-100315.bin", 123, "bin"));
  EXPECT_FALSE(MatchesDevFilePattern("0000123-10031.bin", 123, "bin"));
  EXPECT_FALSE(MatchesDevFilePattern("0000123-100315.binx", 123, "bin"));
}

TEST(DevFileSearchTest, RequestedDatesOutsideTheCalendarMeanTheEarliestFile) {
  const auto parse = [](const char* s) {
    std::array<char, 6> a{};
    std::memcpy(a.data(), s, 6);
    return ParseRequestDate(a);
  };
  EXPECT_EQ(parse("150310"), (Date{2010, 3, 15}));
  EXPECT_EQ(parse("??????"), std::nullopt);
  EXPECT_EQ(parse("320310"), std::nullopt);
  EXPECT_EQ(parse("150010"), std::nullopt);
  EXPECT_EQ(parse("1503xx"), std::nullopt);
}

struct SearchCase {
  const char* name;
  std::vector<std::pair<std::string, size_t>> files;  // name, size
  uint16_t type;
  const char* date;
  uint32_t start;
  bool found;
  Descriptor expected;  // serial 123; kind and file below
  const char* kind;
  const char* file;
};

TEST(DevFileSearchTest, ChoosesTheClientsFileWhenItGrewElseTheNextLaterOne) {
  const std::vector<std::pair<std::string, size_t>> three = {
      {"0000123-100315.bin", 70}, {"0000123-100301.bin", 100}, {"0000123-100308.bin", 50}};
  const SearchCase cases[] = {
      {"grown client file",
       three,
       2,
       "080310",
       10,
       true,
       {123, "080310", 10, 50, 1, 0},
       "bin",
       "0000123-100308.bin"},
      {"client holds it whole",
       three,
       2,
       "080310",
       50,
       true,
       {123, "150310", 0, 70, 0, 0},
       "bin",
       "0000123-100315.bin"},
      {"date between files",
       three,
       1,
       "100310",
       7,
       true,
       {123, "150310", 0, 70, 0, 0},
       "bin",
       "0000123-100315.bin"},
      {"nothing new", three, 2, "150310", 70, false, {}, "bin", ""},
      {"earliest",
       three,
       2,
       "??????",
       0,
       true,
       {123, "010310", 0, 100, 1, 0},
       "bin",
       "0000123-100301.bin"},
      {"impossible date is the earliest",
       three,
       2,
       "320310",
       0,
       true,
       {123, "010310", 0, 100, 1, 0},
       "bin",
       "0000123-100301.bin"},
      {"start beyond the end",
       three,
       2,
       "080310",
       500,
       true,
       {123, "080310", 500, 50, 1, 0},
       "bin",
       "0000123-100308.bin"},
      {"only stand-by files",
       {{"0000123-100308.sbin", 16}, {"0000123-100315.SBIN", 32}},
       2,
       "??????",
       0,
       true,
       {123, "080310", 0, 16, 1, 1},
       "sbin",
       "0000123-100308.sbin"},
      {"stand-by files do not serve route requests",
       {{"0000123-100308.sbin", 16}},
       3,
       "??????",
       0,
       false,
       {},
       "route",
       ""},
      {"old data file hides newer stand-by files",
       {{"0000123-100301.bin", 10}, {"0000123-100308.sbin", 16}},
       1,
       "020310",
       0,
       false,
       {},
       "bin",
       ""},
      {"names that do not qualify are ignored",
       {{"0000123-100315.binx", 5},
        {"0000123-100332.bin", 5},
        {"0000124-100301.bin", 5},
        {"0000123-100322.Bin", 9}},
       2,
       "??????",
       0,
       true,
       {123, "220310", 0, 9, 0, 0},
       "bin",
       "0000123-100322.Bin"},
      {"years count from 2000",
       {{"0000123-991231.bin", 1}, {"0000123-000101.bin", 2}},
       2,
       "??????",
       0,
       true,
       {123, "010100", 0, 2, 1, 0},
       "bin",
       "0000123-000101.bin"},
  };
  for (const SearchCase& c : cases) {
    DispFixture f;
    const std::string folder = f.Device(123);
    for (const auto& [name, size] : c.files) f.DeviceFile(123, name, std::string(size, 'x'));
    TDevFilesRequest r;
    r.serial = 123;
    std::memcpy(r.date.data(), c.date, 6);
    r.SetKind(c.type <= 2 ? "bin" : "route");
    r.startOffset = c.start;
    ASSERT_EQ(FindDevFile(f.Env(), folder, r, c.type), c.found) << c.name;
    if (!c.found) continue;
    const Descriptor got{
        r.serial, std::string(r.date.data(), 6), r.startOffset, r.endOffset, r.more, r.standBy};
    EXPECT_EQ(got, c.expected) << c.name;
    EXPECT_EQ(r.Kind(), c.kind) << c.name;
    EXPECT_EQ(r.FileName(), c.file) << c.name;
  }
}

}  // namespace
}  // namespace orbitrace
