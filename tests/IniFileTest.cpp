#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/FileSystem.h"

namespace orbitrace {
namespace {

using test::ReadFile;
using test::ScratchDir;
using test::WriteFile;

TEST(IniFileTest, IntegerReadingRule) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"3", true, 3},
      {"  42", true, 42},
      {"-17", true, -17},
      {"+5", true, 5},
      {"0x1F", true, 31},
      {"0X10", true, 16},
      {"$ff", true, 255},
      {"-$10", true, -16},
      {"0xFFFFFFFF", true, -1},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},
      {"0x100000000", false, 0},
      {"", false, 0},
      {"0x", false, 0},
      {"12abc", false, 0},
      {"abc", false, 0},
      {"1.5", false, 0},
  };
  for (const Case& c : cases) {
    int32_t v = 0;
    EXPECT_EQ(ParseProfileInteger(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

TEST(IniFileTest, ReadsIgnoreCaseAndTakeTheFirstMatch) {
  ScratchDir dir;
  WriteFile(dir / "a.ini",
            "; comment\n[Common]\n  Port = 0x10  \nport=99\nname=\"quoted value\"\n"
            "garbage line without equals\n=novalue\n\xff\xfe\x01 binary=\x80\n"
            "[LOG]\nLevel=\n[common]\nPort=7\n");
  IniFile ini(dir / "a.ini");
  EXPECT_EQ(ini.ReadInteger("COMMON", "PORT", 1), 16);
  EXPECT_EQ(ini.ReadString("common", "name", ""), "quoted value");
  EXPECT_TRUE(ini.ValueExists("log", "level"));
  EXPECT_EQ(ini.ReadInteger("LOG", "Level", 3), 3);  // empty value: the fallback
  EXPECT_FALSE(ini.ValueExists("LOG", "Missing"));
  EXPECT_EQ(ini.ReadString("Nope", "x", "fb"), "fb");
  EXPECT_EQ(IniFile(dir / "missing.ini").ReadInteger("A", "B", 9), 9);
}

TEST(IniFileTest, LongValuesAreCutTo2047Characters) {
  ScratchDir dir;
  WriteFile(dir / "a.ini", "[S]\nK=" + std::string(100000, 'x') + "\n");
  EXPECT_EQ(IniFile(dir / "a.ini").ReadString("S", "K", "").size(), 2047u);
}

TEST(IniFileTest, WritesEditInPlaceAndKeepTheRest) {
  ScratchDir dir;
  WriteFile(dir / "a.ini", "; keep me\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  IniFile ini(dir / "a.ini");
  ini.WriteString("a", "X", "5");    // replaced in place
  ini.WriteInteger("A", "z", -3);    // added at the end of its section
  ini.WriteString("C", "w", "new");  // new section at the end
  ini.DeleteKey("b", "Y");
  ini.DeleteKey("B", "absent");  // no error
  EXPECT_EQ(ReadFile(dir / "a.ini"),
            "; keep me\r\n[A]\r\nX=5\r\nz=-3\r\n\r\n[B]\r\n[C]\r\nw=new\r\n");
}

TEST(IniFileTest, WriteToReadOnlyFileRaisesAndDeleteDoesNot) {
  ScratchDir dir;
  WriteFile(dir / "a.ini", "[A]\nx=1\n");
  ASSERT_TRUE(SetReadOnly(dir / "a.ini", true));
  IniFile ini(dir / "a.ini");
  EXPECT_THROW(ini.WriteString("A", "y", "2"), IniWriteError);
  EXPECT_NO_THROW(ini.DeleteKey("A", "x"));
  EXPECT_EQ(ReadFile(dir / "a.ini"), "[A]\nx=1\n");
  EXPECT_THROW(IniFile(dir / "no-such-folder/a.ini").WriteString("A", "x", "1"), IniWriteError);
}

}  // namespace
}  // namespace orbitrace
