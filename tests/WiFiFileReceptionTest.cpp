#include "wifi/WiFiFileReception.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <memory>

#include "WiFiTestSupport.h"
#include "wifi/WiFiMessageAssembler.h"

namespace orbitrace {
namespace {

using test::Frame;
using test::MemoryLink;
using test::ReadFile;
using test::Records;
using test::WiFiMessage;
using test::WiFiWorld;
using test::WriteFile;

constexpr uint32_t kPlain = 50000;    // below the trailer serials
constexpr uint32_t kFramed = 123456;  // commands 4, 5, 65

class WiFiFileReceptionTest : public ::testing::Test {
 protected:
  WiFiFileReceptionTest() {
    world.registry.served = {kPlain, kFramed};
    Restart();
  }
  void Restart() {
    assembler = std::make_unique<TWiFiMessageAssembler>(
        TWiFiEnv{link, world.writer, 7, world.settings, world.context, options});
  }
  static WiFiMessage Msg(uint8_t command, uint32_t serial, std::string data) {
    WiFiMessage m;
    m.command = command;
    m.serial = serial;
    m.data = std::move(data);
    return m;
  }
  // Sends one message; what the server answered to it.
  std::string Upload(const WiFiMessage& m) {
    link.sent.clear();
    const std::string bytes = m.Bytes();
    EXPECT_TRUE(assembler->DeviceConnRead(bytes.data(), bytes.size()));
    return link.sent;
  }
  std::string Upload(uint8_t command, uint32_t serial, const std::string& data) {
    return Upload(Msg(command, serial, data));
  }
  std::string File(uint32_t serial, const std::string& name) {
    return ReadFile(world.DevicePath(serial, name));
  }
  std::vector<std::string> DataTree() {
    std::vector<std::string> names;
    for (const DirEntry& e : ListDirectory(world.settings.DataFolder)) {
      names.push_back(e.name);
      for (const DirEntry& f : ListDirectory(world.settings.DataFolder + "/" + e.name))
        names.push_back(e.name + "/" + f.name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  WiFiWorld world;
  MemoryLink link;
  TWiFiOptions options;
  std::unique_ptr<TWiFiMessageAssembler> assembler;
};

TEST_F(WiFiFileReceptionTest, ResentRecordsLandOnceInTheWeekFile) {
  const std::string r = Records(4, 12);
  const std::string r0 = r.substr(0, 12), r1 = r.substr(12, 12), r2 = r.substr(24, 12),
                    r3 = r.substr(36, 12);
  EXPECT_EQ(Upload(1, kPlain, r0 + r1), "DATA ACCEPT\r\n");
  EXPECT_EQ(File(kPlain, "0050000-240101.bin"), r0 + r1);
  // The same 24 bytes again: nothing new, still acknowledged.
  EXPECT_EQ(Upload(1, kPlain, r0 + r1), "DATA ACCEPT\r\n");
  EXPECT_EQ(File(kPlain, "0050000-240101.bin"), r0 + r1);
  // 36 bytes whose first 12 end the file (and whose first 24 do not): the last 24 are new.
  EXPECT_EQ(Upload(1, kPlain, r1 + r2 + r3), "DATA ACCEPT\r\n");
  EXPECT_EQ(File(kPlain, "0050000-240101.bin"), r0 + r1 + r2 + r3);
  EXPECT_EQ(world.Log(),
            (std::vector<std::string>{"INF 50000 Принято 24 байт", "INF 50000 Принято 0 байт",
                                      "INF 50000 Принято 24 байт"}));
}

TEST_F(WiFiFileReceptionTest, OverlapCandidatesStepByRecordsFromTheShorterLength) {
  struct Case {
    std::string tail;  // the file's last n bytes
    std::string block;
    size_t recordSize;
    size_t overlap;
  } cases[] = {
      {"abcdef", "cdefgh", 2, 4},
      {"abcdef", "ghijkl", 2, 0},
      {"zzab", "abyy", 2, 2},
      {"abcd", "abcd", 4, 4},
      // n = 5 is not a multiple of the record: only 5 is tried, never 4.
      {"xabcd", "abcdefgh", 4, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RepeatOverlap(wifi::Bytes(c.tail.data()), c.tail.size(), wifi::Bytes(c.block.data()),
                            c.recordSize),
              c.overlap)
        << c.tail << " " << c.block;
  }
}

TEST_F(WiFiFileReceptionTest, BlocksThatAreNotWholeRecordsAreIgnored) {
  EXPECT_EQ(Upload(1, kPlain, std::string(25, 'a')), "");
  EXPECT_EQ(Upload(6, kPlain, std::string(20, 'b')), "");
  EXPECT_EQ(File(kPlain, "0050000-240101.bin"), "");
  EXPECT_EQ(File(kPlain, "0050000-240101.sbin"), "");
  EXPECT_TRUE(world.Log().empty());
}

TEST_F(WiFiFileReceptionTest, AcknowledgementsPerCommand) {
  const std::string sbin = Records(2, 16);
  const std::string trailerSerialData = Records(1, 16, 7);
  const WiFiMessage framed = Msg(4, kFramed, sbin);
  const WiFiMessage conf = Msg(5, kFramed, "conf-block");
  EXPECT_EQ(Upload(framed), Frame(framed, "DATA_ACCEPT", true));
  EXPECT_EQ(GetU16(wifi::Bytes(link.sent.data() + 8)), 0x57D4);
  EXPECT_EQ(Upload(6, kFramed, test::WithTrailer(trailerSerialData)), "DATA ACCEPT\r\n");
  EXPECT_EQ(File(kFramed, "0123456-240101.sbin"), sbin + trailerSerialData);
  EXPECT_EQ(Upload(conf), Frame(conf, "CONF_ACCEPT", true));
  EXPECT_EQ(Upload(conf), Frame(conf, "CONF_ACCEPT", true));  // no repeat removal for blocks
  EXPECT_EQ(File(kFramed, "0123456-240101.log"), "conf-blockconf-block");
  EXPECT_EQ(world.Log(),
            (std::vector<std::string>{"INF 123456 Принято 32 байт", "INF 123456 Принято 16 байт",
                                      "INF 123456 Принят конфиг", "INF 123456 Принят конфиг"}));
}

TEST_F(WiFiFileReceptionTest, ConfigurationRecordCarriesLengthAndReceptionTime) {
  world.clock.SetLocal(2024, 1, 3, 18, 0, 0);
  const std::string block(100, 'c');
  EXPECT_EQ(Upload(2, kPlain, block), "CONF ACCEPT\r\n");
  const std::string record = File(kPlain, "0050000-240101.log");
  ASSERT_EQ(record.size(), 112u);
  EXPECT_EQ(GetU32(wifi::Bytes(record.data())), 112u);
  EXPECT_DOUBLE_EQ(wifi::LoadF64(wifi::Bytes(record.data() + 4)), 45294.75);  // 2024-01-03 18:00
  EXPECT_EQ(record.substr(12), block);
  EXPECT_EQ(world.Log(), std::vector<std::string>{"INF 50000 Принят конфиг"});
}

TEST_F(WiFiFileReceptionTest, WeekFileIsNamedByItsLocalMondayAcrossTheYearBoundary) {
  struct Case {
    int year, month, day;
    const char* file;
  } cases[] = {
      {2024, 1, 3, "0050000-240101.sbin"},   {2024, 1, 7, "0050000-240101.sbin"},
      {2024, 1, 8, "0050000-240108.sbin"},   {2023, 12, 31, "0050000-231225.sbin"},
      {2024, 12, 31, "0050000-241230.sbin"}, {2021, 1, 1, "0050000-201228.sbin"},
  };
  uint32_t next = 0;
  for (const Case& c : cases) {
    world.clock.SetLocal(c.year, c.month, c.day, 23, 59, 59);
    const std::string record = Records(1, 16, next++);
    EXPECT_EQ(Upload(6, kPlain, record), "DATA ACCEPT\r\n") << c.file;
    EXPECT_NE(File(kPlain, c.file).find(record), std::string::npos) << c.file;
  }
}

TEST_F(WiFiFileReceptionTest, ReadOnlyWeekFileIsMadeWritableAndAppended) {
  ForceDirectories(world.settings.DataFolder + "/0050000");
  const std::string path = world.DevicePath(kPlain, "0050000-240101.sbin");
  WriteFile(path, "old-content-16by");
  ASSERT_TRUE(SetReadOnly(path, true));
  EXPECT_EQ(Upload(6, kPlain, Records(1, 16)), "DATA ACCEPT\r\n");
  EXPECT_EQ(ReadFile(path), "old-content-16by" + Records(1, 16));
  EXPECT_FALSE(IsReadOnly(path));
}

TEST_F(WiFiFileReceptionTest, ReplacedDeviceWritesIntoTheReplacingFolder) {
  world.registry.replacements[kFramed] = 777;
  const std::string data = Records(1, 16);
  EXPECT_EQ(Upload(Msg(4, kFramed, data)), Frame(Msg(4, kFramed, data), "DATA_ACCEPT", true));
  EXPECT_EQ(File(777, "0000777-240101.sbin"), data);
  const WiFiMessage named = Msg(65, kFramed, std::string("030124bin\0", 10) + "named");
  EXPECT_EQ(Upload(named), Frame(named, "DATA_ACCEPT", false));
  EXPECT_EQ(File(777, "0000777-240103.bin"), "named");
  EXPECT_EQ(DataTree(), (std::vector<std::string>{"0000777", "0000777/0000777-240101.sbin",
                                                  "0000777/0000777-240103.bin", "0123456"}));
  EXPECT_EQ(world.Log(), (std::vector<std::string>{
                             "INF 123456 Заменяет прибор 777", "INF 123456 Принято 16 байт",
                             "INF 123456 Заменяет прибор 777", "INF 123456 Принято 5 байт"}));
}

TEST_F(WiFiFileReceptionTest, NamedFileTakesItsNameFromTheDevice) {
  struct Case {
    std::string prefix;
    const char* file;
  } cases[] = {
      {std::string("030124bin\0", 10), "0123456-240103.bin"},
      {"abcdefbinv", "0123456-efcdab.binv"},
      {std::string("010203a\0\0\0", 10), "0123456-030201.a"},
      {std::string("010203\0\0\0\0", 10), "0123456-030201."},
  };
  for (const Case& c : cases) {
    const WiFiMessage m = Msg(65, kFramed, c.prefix + "content");
    EXPECT_EQ(Upload(m), Frame(m, "DATA_ACCEPT", false)) << c.file;
    EXPECT_EQ(Upload(m), Frame(m, "DATA_ACCEPT", false)) << c.file;  // appended again
    EXPECT_EQ(File(kFramed, c.file), "contentcontent") << c.file;
  }
  EXPECT_EQ(world.Log().front(), "INF 123456 Принято 7 байт");
}

TEST_F(WiFiFileReceptionTest, NamedFileRefusesShortBlocksAndNamesThatLeaveTheFolder) {
  const std::string cases[] = {
      std::string("030124bin", 9),  // the whole block: shorter than name and extension
      std::string("../../bin\0", 10),
      std::string("0/0124bin\0", 10),
      std::string("0\\0124bin\0", 10),
      std::string("..0124bin\0", 10),
      std::string("03012\0bin\0", 10),  // zero byte among the name characters
      std::string("030124b\0in", 10),   // zero byte inside the extension
      std::string("030124/bi\0", 10),
      std::string("030124..\0\0", 10),
      std::string("030124.\0\0\0", 10),  // name ends in "..": "-240103.."
      std::string("03 124bin\0", 10),
      std::string("03\x01"
                  "124bin\0",
                  10),
      std::string("030124b\xC3\xA9\0", 10),
      std::string("0301:4bin\0", 10),
  };
  for (const std::string& prefix : cases) {
    WiFiWorld fresh;
    fresh.registry.served = {kFramed};
    fresh.registry.replacements[kFramed] = 777;
    MemoryLink out;
    TWiFiMessageAssembler a(TWiFiEnv{out, fresh.writer, 7, fresh.settings, fresh.context, {}});
    const WiFiMessage m = Msg(65, kFramed, prefix.size() < 10 ? prefix : prefix + "payload");
    const std::string bytes = m.Bytes();
    EXPECT_TRUE(a.DeviceConnRead(bytes.data(), bytes.size()));
    EXPECT_EQ(out.sent, Frame(m, "DATA_REJECT", false)) << prefix;
    EXPECT_EQ(fresh.Log(), std::vector<std::string>{"ERR 123456 файл не принят"}) << prefix;
    // Nothing was created: not even the replacing device's folder.
    const auto entries = ListDirectory(fresh.settings.DataFolder);
    ASSERT_EQ(entries.size(), 1u) << prefix;
    EXPECT_EQ(entries[0].name, "0123456");
    EXPECT_TRUE(ListDirectory(fresh.settings.DataFolder + "/0123456").empty()) << prefix;
    EXPECT_EQ(ListDirectory(fresh.dir.path()).size(), 2u) << prefix;  // Data and the log
  }
}

TEST_F(WiFiFileReceptionTest, OpenFilesExcludeOtherWritersAndReadersExcludeWriters) {
  const std::string week = Records(1, 16);
  ASSERT_EQ(Upload(6, kPlain, week), "DATA ACCEPT\r\n");
  const std::string weekPath = world.DevicePath(kPlain, "0050000-240101.sbin");
  const std::string namedPath = world.DevicePath(kFramed, "0123456-240103.bin");
  const WiFiMessage named = Msg(65, kFramed, std::string("030124bin\0", 10) + "x");
  ASSERT_EQ(Upload(named), Frame(named, "DATA_ACCEPT", false));
  const std::string more = Records(1, 16, 1);
  struct Holder {
    Access access;
    Share share;
  } holders[] = {{Access::Read, Share::Read}, {Access::Write, Share::Read}};
  for (const Holder& h : holders) {
    orbitrace::File heldWeek, heldNamed;
    ASSERT_TRUE(heldWeek.Open(weekPath, h.access, h.share, Disposition::OpenExisting));
    ASSERT_TRUE(heldNamed.Open(namedPath, h.access, h.share, Disposition::OpenExisting));
    EXPECT_EQ(Upload(6, kPlain, more), "");
    EXPECT_EQ(Upload(named), Frame(named, "DATA_REJECT", false));
  }
  // A reader that lets writers in does not stand in the way.
  orbitrace::File sharing;
  ASSERT_TRUE(sharing.Open(weekPath, Access::Read, Share::ReadWrite, Disposition::OpenExisting));
  EXPECT_EQ(Upload(6, kPlain, more), "DATA ACCEPT\r\n");
  EXPECT_EQ(ReadFile(weekPath), week + more);
}

TEST_F(WiFiFileReceptionTest, TailThatCannotBeReadBackIsNotAcknowledged) {
  ASSERT_EQ(Upload(6, kPlain, Records(1, 16)), "DATA ACCEPT\r\n");
  // The 32-byte block needs the file's 16-byte tail for the comparison; that buffer fails.
  options.allocate = [](size_t size) {
    return size == 16 ? std::unique_ptr<char[]>() : std::make_unique<char[]>(size);
  };
  Restart();
  EXPECT_EQ(Upload(6, kPlain, Records(2, 16, 1)), "");
  EXPECT_EQ(File(kPlain, "0050000-240101.sbin"), Records(1, 16));
}

TEST_F(WiFiFileReceptionTest, FailedWriteIsNeitherKeptNorAcknowledged) {
  ASSERT_EQ(Upload(6, kPlain, Records(1, 16)), "DATA ACCEPT\r\n");
  const WiFiMessage named = Msg(65, kFramed, std::string("030124bin\0", 10) + "0123456789abcdef");
  ASSERT_EQ(Upload(named), Frame(named, "DATA_ACCEPT", false));
  world.Log();  // the log file is written now, before the size limit applies
  // Files may not grow beyond 20 bytes: the next appends get only part of the way.
  signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit limited = old;
  limited.rlim_cur = 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string dataReply = Upload(6, kPlain, Records(1, 16, 1));
  const std::string namedReply = Upload(named);
  setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(dataReply, "");
  EXPECT_EQ(namedReply, Frame(named, "DATA_REJECT", false));
  // No piece of the refused uploads stays behind.
  EXPECT_EQ(File(kPlain, "0050000-240101.sbin"), Records(1, 16));
  EXPECT_EQ(File(kFramed, "0123456-240103.bin"), "0123456789abcdef");
  const auto log = world.Log();
  EXPECT_EQ(log.back(), "ERR 123456 файл не принят");
}

}  // namespace
}  // namespace orbitrace
