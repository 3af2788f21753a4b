#include "dispatcher/DispHandlers.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "DispTestSupport.h"
#include "platform/FileSystem.h"

namespace orbitrace {
namespace {

using namespace test;

class DispHandlersTest : public ::testing::Test {
 protected:
  using Handler = bool (*)(const DispEnv&, const uint8_t*, uint32_t, const AnswerSender&);

  // Runs a handler on a complete request; the answer ("" when none was sent).
  std::string Handle(Handler handler, const std::string& request, bool* handled = nullptr) {
    std::string sent;
    const bool ok =
        handler(f.Env(), reinterpret_cast<const uint8_t*>(request.data()),
                static_cast<uint32_t>(request.size()), [&](const uint8_t* data, size_t size) {
                  sent.assign(reinterpret_cast<const char*>(data), size);
                  return true;
                });
    if (handled != nullptr) *handled = ok;
    return sent;
  }

  DispFixture f;
};

std::string Pattern(char seed, size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i % 13);
  return s;
}

constexpr size_t kMiB = 1024 * 1024;
const std::array<char, 8> kZeros{};

TEST_F(DispHandlersTest, ContentsAnswerLeavesOutWhatDoesNotFitAndMarksTheKeptDeviceBefore) {
  const std::string one = Pattern('a', 6 * kMiB), two = Pattern('b', 6 * kMiB),
                    three = Pattern('c', 1 * kMiB);
  for (uint32_t serial : {1u, 2u, 3u}) f.Device(serial);
  f.DeviceFile(1, "0000001-100315.bin", one);
  f.DeviceFile(2, "0000002-100315.bin", two);
  f.DeviceFile(3, "0000003-100315.sbin", three);
  std::vector<std::string> elements;
  for (uint32_t serial : {1u, 2u, 3u}) elements.push_back(DataElement(serial, kZeros, "??????", 0));

  bool handled = false;
  const DataAnswer full = ParseDataAnswer(Handle(DataRequest, Request(2, elements), &handled));
  EXPECT_TRUE(handled);
  EXPECT_EQ(full.type, 2);
  EXPECT_EQ(full.length, 10 + 2 * 24 + 7 * kMiB);
  EXPECT_EQ(full.descriptors, (std::vector<Descriptor>{{1, "150310", 0, 6 * kMiB, 1, 0},
                                                       {3, "150310", 0, 1 * kMiB, 0, 1}}));
  EXPECT_TRUE(full.bytes == one + three);
  const auto lines = f.Lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "INF Ответ слишком большой. Прибор 2 удален"),
            lines.end());
  EXPECT_EQ(lines.back(), "INF Отправлено " + std::to_string(full.length) + " б.");

  // Descriptors alone are never cut.
  const DataAnswer list = ParseDataAnswer(Handle(DataRequest, Request(1, elements)));
  EXPECT_EQ(list.type, 1);
  EXPECT_EQ(list.length, 10u + 3 * 24);
  EXPECT_EQ(list.descriptors.size(), 3u);
  EXPECT_EQ(list.descriptors[1], (Descriptor{2, "150310", 0, 6 * kMiB, 0, 0}));
}

TEST_F(DispHandlersTest, FileLargerThanAnyAnswerIsServedInPieces) {
  const std::string big = Pattern('z', kMaxFilePiece + 100);
  f.Device(9);
  f.DeviceFile(9, "0000009-100315.bin", big);
  const DataAnswer first =
      ParseDataAnswer(Handle(DataRequest, Request(2, {DataElement(9, kZeros, "??????", 0)})));
  EXPECT_EQ(first.length, 10485760u);
  EXPECT_EQ(first.descriptors, (std::vector<Descriptor>{{9, "150310", 0, kMaxFilePiece, 1, 0}}));
  const DataAnswer rest = ParseDataAnswer(
      Handle(DataRequest, Request(2, {DataElement(9, kZeros, "150310", kMaxFilePiece)})));
  EXPECT_EQ(rest.descriptors,
            (std::vector<Descriptor>{{9, "150310", kMaxFilePiece, kMaxFilePiece + 100, 0, 0}}));
  EXPECT_TRUE(first.bytes + rest.bytes == big);
}

TEST_F(DispHandlersTest, UnreadableFileTurnsTheAnswerIntoDescriptorsOnly) {
  f.Device(5);
  f.DeviceFile(5, "0000005-100315.route", std::string(24, 'r'));
  // A writer that shares reading only: a reader sharing reading only cannot open the file.
  File writer;
  ASSERT_TRUE(writer.Open(f.Folder(5) + "/0000005-100315.route", Access::Write, Share::Read,
                          Disposition::OpenExisting));
  bool handled = true;
  const std::string answer =
      Handle(DataRequest, Request(4, {DataElement(5, kZeros, "??????", 0)}), &handled);
  EXPECT_FALSE(handled);
  const DataAnswer parsed = ParseDataAnswer(answer);
  EXPECT_EQ(answer.size(), 34u);
  EXPECT_EQ(parsed.length, 34u);
  EXPECT_EQ(parsed.type, 3);
  EXPECT_EQ(parsed.descriptors, (std::vector<Descriptor>{{5, "150310", 0, 24, 0, 0}}));
}

TEST(DispPositionTest, PositionRecordsDecode) {
  EXPECT_EQ(DecodePositionTime(10620432, 2), 315968400u);                 // 2010-01-05 01:00:00
  EXPECT_EQ(DecodePositionTime((1u << 21) | (1u << 17), 0), 252460800u);  // 2008-01-01
  EXPECT_EQ(DecodePositionTime((1u << 21) | (1u << 17) | 86399, 0xFFFFFFF0u), 252547199u);
  // Impossible times: 86400 seconds, month 0, month 13, 31 April.
  for (uint32_t w0 : {(1u << 21) | (1u << 17) | 86400u, 1u << 21, (1u << 21) | (13u << 17),
                      (31u << 21) | (4u << 17)})
    EXPECT_EQ(DecodePositionTime(w0, 2), std::nullopt) << w0;

  EXPECT_EQ(DecodeCoordinate(553000000), 55500000);
  EXPECT_EQ(DecodeCoordinate(553000000 | 0x80000000u), -55500000);
  EXPECT_EQ(DecodeCoordinate(553000000 | 0xFu), 55500000);  // low bits are not read
  // The magnitude 373712336 becomes 373712320 in single precision, and the degrees
  // 37.6187200 become 37.61872100830078 (a float) before they are scaled.
  EXPECT_EQ(DecodeCoordinate(373712345), 37618721);
}

TEST_F(DispHandlersTest, LastPositionAnswersDevicesWithAReadablePosition) {
  for (uint32_t serial : {11u, 12u, 13u}) {
    f.Device(serial, "pw");
    f.registry.served.insert(serial);
  }
  f.DeviceFile(11, "lastposition.bin",
               U32(10620432) + U32(553000000) + U32(553000000 | 0x80000002u));
  f.DeviceFile(12, "lastposition.bin", U32(86400) + U32(1) + U32(1));  // impossible date
  const std::string pw = "pw      ";
  const std::string answer =
      Handle(GetLastPosition, Request(192, {LastPosElement(11, Pw(pw)), LastPosElement(12, Pw(pw)),
                                            LastPosElement(13, Pw(pw))}));
  ASSERT_EQ(answer.size(), 28u);
  EXPECT_EQ(answer.substr(0, 8), U32(28) + U16(1) + U16(0));
  EXPECT_EQ(answer.substr(8), U32(20) + U32(11) + U32(55500000) +
                                  U32(static_cast<uint32_t>(-55500000)) + U32(315968400));
  EXPECT_EQ(Handle(GetLastPosition, Request(192, {})), U32(8) + U32(0));
}

// Sets the local time zone for one test.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

TEST_F(DispHandlersTest, RoutesGoIntoTheFileOfTheLocalWeek) {
  ScopedTimeZone tz("UTC-3");  // three hours east of UTC
  f.Device(77, "pw");
  f.registry.served.insert(77);
  const std::array<char, 8> pw = Pw("pw      ");

  // Sunday 23:30 local time belongs to the week of Monday 15 March.
  f.clock.SetLocal(2010, 3, 21, 23, 30, 0);
  f.clock.millis += 999;  // fractions of a second are dropped
  EXPECT_EQ(Handle(RouteRecord, Request(128, {RouteElement(77, pw, 5), RouteElement(78, pw, 6),
                                              RouteElement(77, pw, 7)})),
            U32(26) + U16(128) + U32(2) + U32(8) + U32(77) + U32(8) + U32(77));
  const std::string sunday = f.Folder(77) + "/0000077-100315.route";
  EXPECT_EQ(ReadFile(sunday), U32(322518600) + U32(5) + U32(0) + U32(322518600) + U32(7) + U32(0));

  // Half past midnight on Monday local time starts a new file; in UTC it is still Sunday.
  f.clock.SetLocal(2010, 3, 22, 0, 30, 0);
  SetReadOnly(sunday, true);
  const std::string monday = f.Folder(77) + "/0000077-100322.route";
  WriteFile(monday, "");
  SetReadOnly(monday, true);
  EXPECT_EQ(Handle(RouteRecord, Request(128, {RouteElement(77, pw, 8)})),
            U32(18) + U16(128) + U32(1) + U32(8) + U32(77));
  EXPECT_EQ(ReadFile(monday), U32(322522200) + U32(8) + U32(0));
  EXPECT_FALSE(IsReadOnly(monday));
  EXPECT_EQ(RouteFileName(1234567, Date{2099, 1, 5}), "1234567-990105.route");

  // The route files are downloaded like data files.
  const DataAnswer routes =
      ParseDataAnswer(Handle(DataRequest, Request(4, {DataElement(77, pw, "??????", 0)})));
  EXPECT_EQ(routes.descriptors, (std::vector<Descriptor>{{77, "150310", 0, 24, 1, 0}}));
  EXPECT_EQ(routes.bytes, ReadFile(sunday));

  EXPECT_EQ(Handle(RouteRecord, Request(128, {})), U32(10) + U16(128) + U32(0));
}

}  // namespace
}  // namespace orbitrace
