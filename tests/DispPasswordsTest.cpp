#include "registry/DispPasswords.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "RegistryFixtures.h"
#include "platform/FileSystem.h"

namespace orbitrace::test {
namespace {

TPassword8 Pw(const char (&text)[9]) {
  TPassword8 p;
  std::memcpy(p.data(), text, 8);
  return p;
}

TEST(DispPasswordsTest, PasswordFileNameRule) {
  const std::pair<const char*, uint32_t> cases[] = {
      {"12345.psw", 12345},     {"12345.PSW", 12345},   {"12345.psw.bak", 12345},
      {"1234567.psw", 1234567}, {"0012345.psw", 12345}, {"12345xpsw", 12345},
      {"123456psw", 12345},  // five digits, the sixth as the one free character
      {"12345678.psw", 0},      {"1234.psw", 0},        {"12345a.psw", 0},
      {"00000.psw", 0},         {"a12345.psw", 0},      {"12345.ps", 0},
  };
  for (const auto& [name, serial] : cases) EXPECT_EQ(PasswordFileSerial(name), serial) << name;
}

TEST(DispPasswordsTest, UpdateReadsFilesAndWritesTheList) {
  ScratchDir dir;
  TSettings settings;
  settings.DerivePaths(dir.path());
  TestMutex mutex("disp");
  bool busy = false;
  int retries = 0;
  TDispPassList list(settings, mutex.slot, busy, [&] { ++retries; });

  // The folder is created by the rebuild; an empty tree lists nothing.
  list.UpdateDispPasswords();
  EXPECT_TRUE(DirectoryExists(settings.PasswordsDir));
  EXPECT_EQ(ReadFile(dir / "DispPasswords.txt"), "Dev count: 0\r\n");

  const std::string p = settings.PasswordsDir;
  WriteTree(p + "12345.psw", "abc");
  WriteTree(p + "a/b/23456.PSW", "abc\r\n");
  WriteTree(p + "34567.psw", "");           // empty: skipped
  WriteTree(p + "45678.psw", "123456789");  // longer than eight bytes: skipped
  WriteTree(p + "56789.psw", std::string("\0xyz", 4));
  WriteTree(p + "1234567.psw", "12345678");
  WriteTree(p + "00000.psw", "zero");
  list.UpdateDispPasswords();

  EXPECT_EQ(ReadFile(dir / "DispPasswords.txt"),
            "Dev count: 4\r\n"
            "  12345\tabc     \r\n"
            "  23456\tabc\r\n   \r\n"
            "  56789\t\r\n"
            "1234567\t12345678\r\n");
  const auto entry = list.FindDispPassword(12345);
  ASSERT_TRUE(entry.has_value());
  EXPECT_EQ(std::string(entry->Password.data(), 9), std::string("abc     \0", 9));
  ASSERT_TRUE(list.FindDispPassword(56789).has_value());
  EXPECT_EQ(list.FindDispPassword(56789)->Password[0], '\0');
  EXPECT_FALSE(list.FindDispPassword(34567).has_value());
  EXPECT_FALSE(list.FindDispPassword(12346).has_value());
  EXPECT_FALSE(busy);
  EXPECT_EQ(retries, 0);
}

TEST(DispPasswordsTest, DevicePasswordFile) {
  ScratchDir dir;
  const std::string data = dir / "deep/Data";  // missing, parents too
  const std::string file = data + "/0004711/password.txt";

  // First contact keeps the password without its trailing blanks, read-only.
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("secret  ")));
  EXPECT_EQ(ReadFile(file), "secret");
  EXPECT_TRUE(IsReadOnly(file));
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("secret  ")));
  EXPECT_FALSE(CheckDevicePassword(data, 4711, Pw("secret!!")));
  std::array<char, 9> stored{};
  ASSERT_EQ(ReadPasswordFile(file, stored), PasswordFile::Read);
  EXPECT_EQ(std::string(stored.data(), 8), "secret  ");
  EXPECT_EQ(ReadPasswordFile(data + "/0004712/password.txt", stored), PasswordFile::Missing);

  struct Case {
    const char* what;
    std::string content;  // of an existing password.txt
    const char* sent;
    bool accepted;
    std::string after;  // content afterwards
  } cases[] = {
      {"an empty file stands for eight spaces", "", "        ", true, ""},
      {"an empty file refuses anything else", "", "secret  ", false, ""},
      {"only the first eight bytes count", "abcdefghij", "abcdefgh", true, "abcdefghij"},
      {"a leading zero byte counts as no file", std::string("\0old", 4), "new\t\r\n \0", true,
       "new"},
      {"an all-blank first password writes an empty file", std::string("\0", 1), "  \t     ", true,
       ""},
  };
  uint32_t serial = 100;
  for (const Case& c : cases) {
    const std::string path = DeviceFolder(data, ++serial) + "/password.txt";
    WriteTree(path, c.content);
    char sent[9] = {};
    std::memcpy(sent, c.sent, 8);
    EXPECT_EQ(CheckDevicePassword(data, serial, Pw(sent)), c.accepted) << c.what;
    EXPECT_EQ(ReadFile(path), c.after) << c.what;
  }

  // A data folder that cannot be created refuses the device.
  WriteFile(dir / "file", "x");
  EXPECT_FALSE(CheckDevicePassword(dir / "file/Data", 4711, Pw("secret  ")));

  // A password file that exists but cannot be read now (another writer holds it) refuses the
  // device and is left alone: it is no first contact.
  ASSERT_TRUE(SetReadOnly(file, false));
  {
    File holder;
    ASSERT_TRUE(holder.Open(file, Access::Write, Share::Read, Disposition::OpenExisting));
    EXPECT_FALSE(CheckDevicePassword(data, 4711, Pw("intruder")));
  }
  EXPECT_EQ(ReadFile(file), "secret");
}

TEST(DispPasswordsTest, RememberedPasswordsFollowChangesOfTheFile) {
  ScratchDir dir;
  const std::string data = dir / "Data";
  const std::string file = data + "/0004711/password.txt";
  ASSERT_TRUE(CheckDevicePassword(data, 4711, Pw("secret  ")));
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("secret  ")));  // now remembered

  // Rewritten in place with the same length.
  ASSERT_TRUE(SetReadOnly(file, false));
  WriteFile(file, "secreT");
  EXPECT_FALSE(CheckDevicePassword(data, 4711, Pw("secret  ")));
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("secreT  ")));

  // Deleted: the next upload is a first contact again.
  ASSERT_TRUE(DeleteFile(file));
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("other   ")));
  EXPECT_FALSE(CheckDevicePassword(data, 4711, Pw("secreT  ")));
  EXPECT_EQ(ReadFile(file), "other");

  // A file that starts with a zero byte is never taken for a password.
  ASSERT_TRUE(SetReadOnly(file, false));
  WriteFile(file, std::string("\0abcdefg", 8));
  EXPECT_TRUE(CheckDevicePassword(data, 4711, Pw("fresh   ")));
  EXPECT_EQ(ReadFile(file), "fresh");
}

}  // namespace
}  // namespace orbitrace::test
