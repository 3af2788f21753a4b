#include "wifi/WiFiEpoDelivery.h"

#include <gtest/gtest.h>

#include <memory>

#include "WiFiTestSupport.h"
#include "wifi/WiFiMessageAssembler.h"

namespace orbitrace {
namespace {

using test::Frame;
using test::MemoryLink;
using test::WiFiMessage;
using test::WiFiWorld;

constexpr uint32_t kServed = 123456;

std::string EpoContent(size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return content;
}

std::string Ack(uint32_t offset) {
  std::string ack = "EPOK";
  wifi::AppendU32(ack, offset);
  return ack;
}

struct Chunk {
  uint32_t total, command, checksum, offset, length;
  std::string bytes;
};

Chunk ParseChunk(const std::string& frame) {
  const auto* p = wifi::Bytes(frame.data());
  return {GetU32(p),      GetU16(p + 4),  GetU16(p + 8),
          GetU32(p + 22), GetU32(p + 26), frame.substr(30)};
}

class WiFiEpoDeliveryTest : public ::testing::Test {
 protected:
  WiFiEpoDeliveryTest() { world.registry.served = {kServed}; }
  void PlaceEpo(const std::string& content) {
    ForceDirectories(world.dir / "agpsdata");
    test::WriteFile(world.dir / "agpsdata/MTK7d.EPO", content);
  }
  // Sends a command-7 request; the device answers each chunk through `link.respond`.
  void Request() {
    TWiFiMessageAssembler a(TWiFiEnv{link, world.writer, 7, world.settings, world.context, {}});
    const std::string bytes = request.Bytes();
    EXPECT_TRUE(a.DeviceConnRead(bytes.data(), bytes.size()));
  }
  std::string EndFrame() {
    std::string end = "END";
    wifi::AppendU32(end, kEpoFileSize);
    return Frame(request, end, true);
  }

  WiFiWorld world;
  MemoryLink link;
  WiFiMessage request = [] {
    WiFiMessage m;
    m.command = 7;
    m.serial = kServed;
    m.data = "ignored";
    return m;
  }();
};

TEST_F(WiFiEpoDeliveryTest, FullTransferInAcknowledgedChunks) {
  const std::string content = EpoContent(kEpoFileSize);
  PlaceEpo(content);
  link.respond = [](const std::string& frame) -> std::optional<std::string> {
    if (frame.size() < 30) return std::nullopt;  // the closing frame
    return Ack(ParseChunk(frame).offset);
  };
  Request();
  ASSERT_EQ(link.frames.size(), 55u);
  std::string received;
  for (size_t i = 0; i < 54; ++i) {
    const Chunk c = ParseChunk(link.frames[i]);
    const uint32_t length = i < 53 ? 1000 : 760;
    EXPECT_EQ(c.total, length + 30) << i;
    EXPECT_EQ(c.command, 7u);
    EXPECT_EQ(c.offset, i * 1000) << i;
    EXPECT_EQ(c.length, length) << i;
    EXPECT_EQ(c.checksum, WiFiChecksum(link.frames[i].data() + 22, length + 8)) << i;
    EXPECT_EQ(link.frames[i].substr(10, 12), request.Bytes().substr(10, 12));  // serial, password
    received += c.bytes;
  }
  EXPECT_EQ(received, content);
  EXPECT_EQ(link.frames[54], EndFrame());
  EXPECT_EQ(link.frames[54].size(), 29u);
  EXPECT_EQ(world.Log(), std::vector<std::string>{"INF 123456 Отправлен EPO файл"});
}

TEST_F(WiFiEpoDeliveryTest, CrcErrorRepeatsTheChunk) {
  PlaceEpo(EpoContent(kEpoFileSize));
  bool complained = false;
  link.respond = [&](const std::string& frame) -> std::optional<std::string> {
    if (frame.size() < 30) return std::nullopt;
    const uint32_t offset = ParseChunk(frame).offset;
    if (offset == 5000 && !complained) {
      complained = true;
      return std::string("CRCERROR");
    }
    return Ack(offset);
  };
  Request();
  ASSERT_EQ(link.frames.size(), 56u);
  EXPECT_EQ(link.frames[5], link.frames[6]);  // offset 5,000 twice
  EXPECT_EQ(ParseChunk(link.frames[7]).offset, 6000u);
  EXPECT_EQ(link.frames.back(), EndFrame());
}

TEST_F(WiFiEpoDeliveryTest, UnexpectedAcknowledgementsStopTheTransferWithoutEnd) {
  struct Case {
    const char* name;
    std::optional<std::string> (*answer)(uint32_t offset);
  } cases[] = {
      {"previous offset",
       [](uint32_t o) -> std::optional<std::string> { return Ack(o == 3000 ? 2000 : o); }},
      {"nine bytes",
       [](uint32_t o) -> std::optional<std::string> { return o == 3000 ? Ack(o) + "x" : Ack(o); }},
      {"other text",
       [](uint32_t o) -> std::optional<std::string> {
         return o == 3000 ? std::optional<std::string>("EPOKAYYY") : Ack(o);
       }},
      {"silence",
       [](uint32_t o) -> std::optional<std::string> {
         return o == 3000 ? std::nullopt : std::optional<std::string>(Ack(o));
       }},
  };
  PlaceEpo(EpoContent(kEpoFileSize));
  for (const Case& c : cases) {
    link.frames.clear();
    link.incoming.clear();
    link.respond = [&c](const std::string& frame) { return c.answer(ParseChunk(frame).offset); };
    Request();
    ASSERT_EQ(link.frames.size(), 4u) << c.name;  // offsets 0 to 3,000, then nothing
    EXPECT_EQ(ParseChunk(link.frames.back()).offset, 3000u) << c.name;
  }
  const auto log = world.Log();
  EXPECT_EQ(log, std::vector<std::string>(4, "INF 123456 Отправлен EPO файл"));
}

TEST_F(WiFiEpoDeliveryTest, MissingOrWronglySizedFileAnswersEmpty) {
  const std::optional<size_t> sizes[] = {std::nullopt, 0, kEpoFileSize - 1, kEpoFileSize + 1};
  for (const auto& size : sizes) {
    if (size) PlaceEpo(EpoContent(*size));
    link.frames.clear();
    Request();
    ASSERT_EQ(link.frames.size(), 1u);
    EXPECT_EQ(link.frames[0], Frame(request, "EMPTY", true));
    EXPECT_EQ(link.frames[0].size(), 27u);
    EXPECT_EQ(GetU16(wifi::Bytes(link.frames[0].data() + 8)), WiFiChecksum("EMPTY", 5));
  }
  EXPECT_EQ(world.Log(),
            std::vector<std::string>(4, "ERR 123456 Ошибка отправки EPO файла - файл не найден"));
}

}  // namespace
}  // namespace orbitrace
