#include "wifi/WiFiMessageAssembler.h"

#include <gtest/gtest.h>

#include <memory>

#include "WiFiTestSupport.h"

namespace orbitrace {
namespace {

using test::Frame;
using test::MemoryLink;
using test::WiFiMessage;
using test::WiFiWorld;

constexpr uint32_t kServed = 123456;
constexpr uint32_t kUnlisted = 654321;

class WiFiMessageAssemblerTest : public ::testing::Test {
 protected:
  WiFiMessageAssemblerTest() {
    world.registry.served = {kServed};
    Restart();
  }
  void Restart() {
    assembler = std::make_unique<TWiFiMessageAssembler>(
        TWiFiEnv{link, world.writer, 7, world.settings, world.context, options});
  }
  bool Feed(const std::string& bytes) {
    return assembler->DeviceConnRead(bytes.data(), bytes.size());
  }
  static WiFiMessage Msg(uint8_t command, uint32_t serial, std::string data = "") {
    WiFiMessage m;
    m.command = command;
    m.serial = serial;
    m.data = std::move(data);
    return m;
  }

  WiFiWorld world;
  MemoryLink link;
  TWiFiOptions options;
  std::unique_ptr<TWiFiMessageAssembler> assembler;
};

TEST_F(WiFiMessageAssemblerTest, IdentificationIsAnsweredByListAndPassword) {
  world.registry.passwords[kServed + 1] = "other   ";
  world.registry.served.insert(kServed + 1);
  struct Case {
    uint32_t serial;
    std::string reply;
    std::vector<std::string> log;
  } cases[] = {
      {kServed, "DEVICE_ACCEPT", {"INF 123456 Прием данных разрешен"}},
      {kUnlisted,
       "DEVICE_REJECT",
       {"DVL 654321 Прибор не обслуживается", "INF 654321 Прием данных отклонен"}},
      {kServed + 1,
       "DEVICE_REJECT",
       {"DVL 123457 Неверный пароль", "INF 123457 Прием данных отклонен"}},
  };
  for (const Case& c : cases) {
    WiFiWorld fresh;
    fresh.registry.served = world.registry.served;
    fresh.registry.passwords = world.registry.passwords;
    MemoryLink out;
    TWiFiMessageAssembler a(TWiFiEnv{out, fresh.writer, 7, fresh.settings, fresh.context, {}});
    const WiFiMessage m = Msg(64, c.serial, "ignored data");
    const std::string bytes = m.Bytes();
    EXPECT_TRUE(a.DeviceConnRead(bytes.data(), bytes.size()));
    EXPECT_EQ(out.sent, Frame(m, c.reply, false)) << c.serial;
    EXPECT_EQ(fresh.Log(), c.log) << c.serial;
    EXPECT_EQ(fresh.registry.passwordChecks, 1);
  }
}

TEST_F(WiFiMessageAssemblerTest, PasswordIsCheckedAlsoForAnUnlistedDeviceAndDecidesTheReason) {
  world.registry.passwords[kUnlisted] = "wrong!!!";
  EXPECT_TRUE(Feed(Msg(64, kUnlisted).Bytes()));
  EXPECT_EQ(world.registry.passwordChecks, 1);
  EXPECT_EQ(assembler->RejectReason(), rrBadPassword);
  EXPECT_EQ(world.Log(), (std::vector<std::string>{"DVL 654321 Прибор не обслуживается",
                                                   "DVL 654321 Неверный пароль",
                                                   "INF 654321 Прием данных отклонен"}));
}

TEST_F(WiFiMessageAssemblerTest, RefusedDeviceTreatmentPerCommand) {
  // File commands end the connection before their data is read; 7 gets no answer; 65 gets
  // DEVICE_REJECT once the whole message has arrived.
  for (uint8_t command : std::vector<uint8_t>{1, 2, 4, 5, 6}) {
    Restart();
    link.sent.clear();
    WiFiMessage m = Msg(command, kUnlisted, test::Records(1, 16));
    EXPECT_FALSE(Feed(m.Bytes().substr(0, 30))) << int(command);
    EXPECT_EQ(link.sent, "") << int(command);
  }
  Restart();
  link.sent.clear();
  EXPECT_TRUE(Feed(Msg(7, kUnlisted).Bytes()));
  EXPECT_EQ(link.sent, "");
  const WiFiMessage named = Msg(65, kUnlisted, "030124bin\0content");
  const std::string bytes = named.Bytes();
  EXPECT_TRUE(Feed(bytes.substr(0, 25)));
  EXPECT_EQ(link.sent, "");
  EXPECT_TRUE(Feed(bytes.substr(25)));
  EXPECT_EQ(link.sent, Frame(named, "DEVICE_REJECT", false));
}

TEST_F(WiFiMessageAssemblerTest, FramingFaultsEndTheConnection) {
  const std::string identify = Msg(64, kServed).Bytes();
  const std::string upload = Msg(4, kServed, test::Records(2, 16)).Bytes();
  WiFiMessage badHeader = Msg(64, kServed);
  badHeader.serial = 9999;
  WiFiMessage overlong = Msg(4, kServed, test::Records(1, 16));
  overlong.totalLength = 22 + 10;  // the chunk carries more than the announced message
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<bool> answers;
    std::vector<std::string> log;
  } cases[] = {
      {"finish", {"FINISH\r\n"}, {false}, {}},
      {"finish after a message", {identify, "FINISHED"}, {true, false}, {}},
      {"short first chunk",
       {identify.substr(0, 21)},
       {false},
       {"DVL 0 Принято меньше размера заголовка"}},
      {"header split 10 + 12",
       {identify.substr(0, 10), identify.substr(10)},
       {false},
       {"DVL 0 Принято меньше размера заголовка"}},
      {"bad header", {badHeader.Bytes()}, {false}, {"DVL 0 Ошибка в заголовке"}},
      {"chunk longer than the message", {overlong.Bytes()}, {false}, {}},
      {"two messages in one receive", {identify + identify}, {false}, {}},
      {"chunk running past the message",
       {upload.substr(0, 40), upload.substr(40) + "x"},
       {true, false},
       {}},
  };
  for (const Case& c : cases) {
    WiFiWorld fresh;
    fresh.registry.served = {kServed};
    MemoryLink out;
    TWiFiMessageAssembler a(TWiFiEnv{out, fresh.writer, 7, fresh.settings, fresh.context, {}});
    std::vector<bool> answers;
    for (const std::string& chunk : c.chunks) {
      answers.push_back(a.DeviceConnRead(chunk.data(), chunk.size()));
      if (!answers.back()) break;  // the connection ends here
    }
    EXPECT_EQ(answers, c.answers) << c.name;
    std::vector<std::string> log;
    for (const std::string& line : fresh.Log()) {
      if (line.find("Прием данных") == std::string::npos) log.push_back(line);
    }
    EXPECT_EQ(log, c.log) << c.name;
    EXPECT_FALSE(a.MessageInProgress()) << c.name;
  }
}

TEST_F(WiFiMessageAssemblerTest, MessageIsAssembledAcrossChunksAndFinishInsideDataIsData) {
  const std::string records = "FINISH" + std::string(10, 'z') + test::Records(3, 16);
  const WiFiMessage m = Msg(4, kServed, records);
  const std::string bytes = m.Bytes();
  EXPECT_TRUE(Feed(bytes.substr(0, 22)));
  EXPECT_TRUE(assembler->MessageInProgress());
  EXPECT_TRUE(Feed(bytes.substr(22, 6)));  // "FINISH" inside a message is data
  EXPECT_TRUE(Feed(bytes.substr(28, 1)));
  EXPECT_TRUE(Feed(bytes.substr(29)));
  EXPECT_FALSE(assembler->MessageInProgress());
  EXPECT_EQ(link.sent, Frame(m, "DATA_ACCEPT", true));
  EXPECT_EQ(test::ReadFile(world.DevicePath(kServed, "0123456-240101.sbin")), records);
}

TEST_F(WiFiMessageAssemblerTest, HeaderLengthTwentyTwoSetsTheSharedIdleLimitBeforeValidation) {
  struct Case {
    uint16_t headerLength;
    uint8_t command;
    uint32_t limit;
  } cases[] = {
      {22, 1, 30000},   {22, 2, 30000},     {22, 6, 30000},    {22, 3, 30000},
      {22, 4, 3600000}, {22, 5, 3600000},   {22, 7, 3600000},  {22, 64, 60000},
      {22, 65, 60000},  {23, 64, 12345678}, {21, 1, 12345678},
  };
  for (const Case& c : cases) {
    WiFiIdleLimit = 12345678;
    Restart();
    WiFiMessage m = Msg(c.command, kServed);
    m.headerLength = c.headerLength;
    Feed(m.Bytes());
    EXPECT_EQ(WiFiIdleLimit.load(), c.limit) << c.headerLength << " " << int(c.command);
  }
}

TEST_F(WiFiMessageAssemblerTest, FailedChecksumDropsTheMessageSilentlyAndKeepsTheConnection) {
  WiFiMessage m = Msg(4, kServed, test::Records(1, 16));
  m.checksum = 0xBEEF;
  EXPECT_TRUE(Feed(m.Bytes()));
  EXPECT_EQ(link.sent, "");
  EXPECT_FALSE(FileExists(world.DevicePath(kServed, "0123456-240101.sbin")));
  EXPECT_TRUE(world.Log().empty());
  // The connection goes on with the next message.
  EXPECT_TRUE(Feed(Msg(64, kServed).Bytes()));
  EXPECT_EQ(link.sent, Frame(Msg(64, kServed), "DEVICE_ACCEPT", false));
}

TEST_F(WiFiMessageAssemblerTest, DataBufferThatCannotBeAllocatedEndsTheConnection) {
  options.allocate = [](size_t) { return std::unique_ptr<char[]>(); };
  Restart();
  EXPECT_FALSE(Feed(Msg(4, kServed, test::Records(1, 16)).Bytes().substr(0, 30)));
  EXPECT_FALSE(assembler->MessageInProgress());
  EXPECT_EQ(link.sent, "");
  EXPECT_EQ(world.Log(), std::vector<std::string>{"ERR 123456 Нет памяти для сообщения 16 байт"});
}

}  // namespace
}  // namespace orbitrace
