#include "wifi/WiFiProtocol.h"

#include <gtest/gtest.h>

#include "WiFiTestSupport.h"

namespace orbitrace {
namespace {

using test::WiFiMessage;

TEST(WiFiProtocolTest, ChecksumIsAnEndAroundCarrySumOverASixteenBitCount) {
  const std::string big(65537, '\x07');
  struct Case {
    std::string bytes;
    uint16_t sum;
  } cases[] = {
      {"", 0},
      {"abc", 0x62C4},
      {std::string("\xFF\xFF\x01\x00", 4), 0x0001},  // 0xFFFF + 1 carries out and wraps to 1
      {std::string("\xFF\xFF\xFF\xFF", 4), 0xFFFF},
      {"DATA_ACCEPT", 0x57D4},
      {big, 0x0007},  // 65,537 bytes count as one
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WiFiChecksum(c.bytes.data(), c.bytes.size()), c.sum) << c.bytes.size();
  }
}

TEST(WiFiProtocolTest, HeaderChecksInOrderWithTheirBounds) {
  struct Case {
    uint16_t headerLength;
    uint8_t command;
    uint8_t commandHigh;
    uint32_t serial;
    uint32_t total;
    THeaderCheck result;
  } cases[] = {
      {22, 64, 0, 10000, 22, THeaderCheck::Ok},
      {22, 64, 0, 9999999, 3145728, THeaderCheck::Ok},
      {22, 65, 1, 123456, 22, THeaderCheck::Ok},  // only the low byte of the command counts
      {22, 64, 0, 9999, 22, THeaderCheck::BadSerial},
      {22, 64, 0, 10000000, 22, THeaderCheck::BadSerial},
      {22, 64, 0, 123456, 3145729, THeaderCheck::BadTotalLength},
      {22, 64, 0, 123456, 21, THeaderCheck::BadTotalLength},
      {23, 64, 0, 123456, 22, THeaderCheck::BadHeaderLength},
      {22, 3, 0, 123456, 22, THeaderCheck::BadCommand},
      {22, 0, 1, 123456, 22, THeaderCheck::BadCommand},
      // The first failing check names the fault.
      {23, 3, 0, 1, 0, THeaderCheck::BadHeaderLength},
      {22, 3, 0, 1, 0, THeaderCheck::BadCommand},
      {22, 1, 0, 1, 0, THeaderCheck::BadSerial},
  };
  for (const Case& c : cases) {
    WiFiMessage m;
    m.headerLength = c.headerLength;
    m.command = c.command;
    m.commandHigh = c.commandHigh;
    m.serial = c.serial;
    m.totalLength = c.total;
    const std::string bytes = m.Bytes();
    const TWiFiHeader h = ParseWiFiHeader(wifi::Bytes(bytes.data()));
    EXPECT_EQ(CheckWiFiHeader(h), c.result)
        << c.headerLength << " " << int(c.command) << " " << c.serial << " " << c.total;
  }
}

TEST(WiFiProtocolTest, ChecksumRulesPerCommand) {
  const std::string block = "0123456789ab";
  const uint16_t good = WiFiChecksum(block.data(), block.size());
  const std::string trailed = test::WithTrailer(block);
  std::string badTrailer = trailed;
  badTrailer.back() ^= 1;
  struct Case {
    uint8_t command;
    uint32_t serial;
    std::string data;
    uint16_t headerChecksum;
    bool passes;
    uint32_t lengthAfter;
  } cases[] = {
      {2, 123456, block, good, true, 12},
      {4, 123456, block, static_cast<uint16_t>(good + 1), false, 12},
      {5, 123456, block, good, true, 12},
      {65, 123456, block, static_cast<uint16_t>(good ^ 0x100), false, 12},
      // Below serial 91,000 commands 1 and 6 carry no checksum at all.
      {1, 90999, block, 0, true, 12},
      {6, 90999, trailed, 0x1234, true, 14},
      // From 91,000 on their trailer is checked and taken off, also when it is wrong.
      {1, 91000, trailed, 0, true, 12},
      {6, 91000, badTrailer, 0, false, 12},
      {1, 91000, "x", 0, false, 1},
      {1, 91000, "", 0, false, 0},
      {6, 91000, std::string("\0\0", 2), 0, true, 0},  // empty records, trailer 0
      // Commands 7 and 64 ignore the header checksum.
      {7, 123456, block, 0x4242, true, 12},
      {64, 123456, block, 0x4242, true, 12},
  };
  for (const Case& c : cases) {
    uint32_t length = static_cast<uint32_t>(c.data.size());
    EXPECT_EQ(PassesChecksumRule(c.command, c.serial, c.headerChecksum, wifi::Bytes(c.data.data()),
                                 length),
              c.passes)
        << int(c.command) << " " << c.serial << " " << c.data.size();
    EXPECT_EQ(length, c.lengthAfter) << int(c.command) << " " << c.serial;
  }
}

TEST(WiFiProtocolTest, FramedReplyLayout) {
  WiFiMessage request;
  request.command = 64;
  request.serial = 1234567;
  request.password = "pass\x01 x9";
  const std::string frame = test::Frame(request, "DEVICE_ACCEPT", false);
  ASSERT_EQ(frame.size(), 35u);
  EXPECT_EQ(frame.substr(0, 10), std::string("\x23\0\0\0\x40\0\x16\0\0\0", 10));
  EXPECT_EQ(GetU32(wifi::Bytes(frame.data() + 10)), 1234567u);
  EXPECT_EQ(frame.substr(14, 8), "pass\x01 x9");
  EXPECT_EQ(frame.substr(22), "DEVICE_ACCEPT");
  const std::string withSum = test::Frame(request, "DATA_ACCEPT", true);
  EXPECT_EQ(GetU16(wifi::Bytes(withSum.data() + 8)), 0x57D4);
}

}  // namespace
}  // namespace orbitrace
