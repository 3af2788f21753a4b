#include "dispatcher/DicpConnThread.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "DispTestSupport.h"
#include "platform/Socket.h"

namespace orbitrace {
namespace {

using namespace test;

// ---- framing, without a socket ----

struct Step {
  std::string chunk;
  bool goOn;             // what DispatcherConnRead answers
  uint32_t tickGap = 0;  // milliseconds since the previous chunk
};

struct FramingCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<std::string> log;
  int answerLength;  // -1: nothing sent
};

class DispFramingTest : public ::testing::Test {
 protected:
  // Runs the chunks through one connection; the answers it sent, concatenated.
  std::string Run(const std::vector<Step>& steps, const char* name) {
    std::string sent;
    bool sentAny = false;
    TDispConnection conn(
        f.Env(),
        [&](const uint8_t* data, size_t size) {
          sent.append(reinterpret_cast<const char*>(data), size);
          sentAny = true;
          return true;
        },
        20000);
    for (size_t i = 0; i < steps.size(); ++i) {
      f.clock.tick += steps[i].tickGap;
      EXPECT_EQ(conn.DispatcherConnRead(reinterpret_cast<const uint8_t*>(steps[i].chunk.data()),
                                        steps[i].chunk.size()),
                steps[i].goOn)
          << name << " step " << i;
    }
    return sentAny ? sent : std::string("none");
  }

  DispFixture f;
};

std::string Header(uint32_t length, uint16_t type, uint32_t count) {
  return U32(length) + U16(type) + U32(count);
}

TEST_F(DispFramingTest, ChunksAreAssembledCheckedAndDispatched) {
  // A last-position request for a served device without a folder: the handler answers K = 0.
  f.registry.served.insert(5);
  const std::string req = Request(192, {LastPosElement(5, Pw("pw"))});
  ASSERT_EQ(req.size(), 26u);
  const std::string handled = "DVL Запрос корректный.";
  const std::string kind = "INF Тип запроса - запрос последнего положения";
  const std::string partial = "DVL Запрос незавершенный.";
  const std::string bad = "DVL Запрос не корректный.";
  const std::string notHandled = "DVL Запрос не обработан.";

  const FramingCase cases[] = {
      {"whole", {{req, false}}, {handled, kind}, 8},
      {"three chunks",
       {{req.substr(0, 6), true}, {req.substr(6, 4), true}, {req.substr(10), false}},
       {partial, partial, handled, kind},
       8},
      {"short start dropped", {{req.substr(0, 5), true}, {req, false}}, {handled, kind}, 8},
      {"start longer than announced dropped",
       {{req + req, true}, {req, false}},
       {handled, kind},
       8},
      {"L = 9 dropped", {{Header(9, 192, 0).substr(0, 9), true}}, {}, -1},
      {"L above the limit dropped", {{Header(2599994, 192, 162499), true}}, {}, -1},
      {"L - 10 not a multiple of E dropped", {{Header(27, 192, 1), true}}, {}, -1},
      {"largest request accepted", {{Header(2599984, 1, 99999), true}}, {partial}, -1},
      {"L not E * N + 10", {{Header(26, 192, 2), false}}, {partial, bad}, -1},
      {"more than 99999 elements", {{Header(1600010, 192, 100000), false}}, {partial, bad}, -1},
      {"bad element size", {{Header(26, 192, 1) + U32(17), false}}, {partial, bad}, -1},
      {"serial 0", {{Header(26, 192, 1) + U32(16) + U32(0), false}}, {partial, bad}, -1},
      {"serial 10000000",
       {{Header(26, 192, 1) + U32(16) + U32(10000000), false}},
       {partial, bad},
       -1},
      {"serial not yet whole",
       {{Header(26, 192, 1) + U32(16) + U32(5).substr(0, 2), true}},
       {partial},
       -1},
      {"unknown type whole",
       {{Header(36, 5, 1) + DataElement(5, Pw("pw"), "??????", 0), false}},
       {handled, notHandled},
       -1},
      {"unknown type split", {{Header(36, 5, 1), false}}, {partial, bad}, -1},
      {"handler refuses a bad element",
       {{Header(26, 192, 1) + U32(15) + U32(5) + std::string(8, 'x'), false}},
       {handled, kind, notHandled},
       -1},
      {"too many bytes",
       {{req.substr(0, 10), true}, {req.substr(10) + "x", false}},
       {partial, "DVL Неверная длинна."},
       -1},
      {"gap of exactly 20 s",
       {{req.substr(0, 10), true}, {req.substr(10), false, 20000}},
       {partial, handled, kind},
       8},
      {"gap above 20 s",
       {{req.substr(0, 10), true}, {req.substr(10), false, 20001}},
       {partial, "DVL Таймаут соединения."},
       -1},
      {"no elements",
       {{Header(10, 1, 0), false}},
       {handled, "INF Тип запроса - запрос данных.", "INF Отправлено 10 б."},
       10},
  };
  for (const FramingCase& c : cases) {
    f.Lines();
    const std::string sent = Run(c.steps, c.name);
    EXPECT_EQ(f.Lines(), c.log) << c.name;
    if (c.answerLength < 0) {
      EXPECT_EQ(sent, "none") << c.name;
    } else {
      ASSERT_EQ(sent.size(), static_cast<size_t>(c.answerLength)) << c.name;
      EXPECT_EQ(ReadU32(sent, 0), static_cast<uint32_t>(c.answerLength)) << c.name;
    }
  }
}

TEST_F(DispFramingTest, RequestSplitAtAnyByteAfterTheSixthIsAssembled) {
  f.registry.served.insert(5);
  const std::string req = Request(192, {LastPosElement(5, Pw("pw")), LastPosElement(5, Pw("x"))});
  for (size_t cut = 6; cut < req.size(); ++cut) {
    const std::string sent = Run({{req.substr(0, cut), true}, {req.substr(cut), false}}, "split");
    EXPECT_EQ(sent.size(), 8u) << cut;
  }
}

// ---- the connection thread on real loopback sockets ----

// A client socket connected to the listening socket's port, plus the server end.
struct LoopbackPair {
  explicit LoopbackPair(ListeningSocket& listener) {
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listener.LocalPort());
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    server = listener.Accept();
  }
  ~LoopbackPair() { close(client); }
  void Send(const std::string& bytes) const {
    EXPECT_EQ(send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Everything until the server closes the connection.
  std::string ReceiveAll() const {
    std::string out;
    char buf[65536];
    for (;;) {
      const ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  int client = -1;
  Socket server;
};

class DispConnConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(listener.OpenTcp(0), ListenResult::Ok); }

  // Starts a connection thread for the server end of `pair`.
  std::unique_ptr<TDispConnProc> Start(LoopbackPair& pair, DispTimings timings = {}) {
    auto conn = std::make_unique<TDispConnProc>(std::move(pair.server), *f.writer, f.settings,
                                                f.context, timings);
    conn->Resume();
    return conn;
  }

  // One request on a connection of its own; the answer.
  std::string Ask(const std::string& request) {
    LoopbackPair pair(listener);
    auto conn = Start(pair);
    // Sent in two pieces, as a slow client would.
    pair.Send(request.substr(0, request.size() / 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pair.Send(request.substr(request.size() / 2));
    std::string answer = pair.ReceiveAll();
    conn->WaitFor();
    return answer;
  }

  DispFixture f;
  ListeningSocket listener;
};

TEST_F(DispConnConcurrencyTest, ClientDownloadsEveryFilePieceByPiece) {
  f.Device(123, "secret");
  const std::string a(100, 'a'), b(50, 'b'), c(70, 'c');
  f.DeviceFile(123, "0000123-100301.bin", a);
  f.DeviceFile(123, "0000123-100308.bin", b);
  f.DeviceFile(123, "0000123-100315.bin", c.substr(0, 30));

  std::string date = "??????";
  uint32_t start = 0;
  std::string got;
  std::vector<Descriptor> seen;
  for (int round = 0; round < 10; ++round) {
    if (round == 3) f.DeviceFile(123, "0000123-100315.bin", c);  // the current week grows
    const DataAnswer answer =
        ParseDataAnswer(Ask(Request(2, {DataElement(123, Pw("secret  "), date, start)})));
    if (answer.descriptors.empty()) break;
    ASSERT_EQ(answer.type, 2);
    const Descriptor& d = answer.descriptors[0];
    seen.push_back(d);
    got += answer.bytes;
    date = d.date;
    start = d.end;
  }
  EXPECT_EQ(got, a + b + c);
  const std::vector<Descriptor> expected = {
      {123, "010310", 0, 100, 1, 0},
      {123, "080310", 0, 50, 1, 0},
      {123, "150310", 0, 30, 0, 0},
      {123, "150310", 30, 70, 0, 0},
  };
  EXPECT_EQ(seen, expected);
  const std::vector<std::string> lines = f.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "DVL Соединение закрыто."), 5);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "INF Прибор 123 файлов не найдено"), 1);
}

TEST_F(DispConnConcurrencyTest, SilentClientIsDroppedAfterTheReceiveWait) {
  LoopbackPair pair(listener);
  // Sent before the thread starts, so that only the wait for the rest runs out.
  pair.Send(Request(192, {LastPosElement(5, Pw("x"))}).substr(0, 12));
  auto conn = Start(pair, DispTimings{100, 20000, 1000});
  EXPECT_EQ(pair.ReceiveAll(), "");
  conn->WaitFor();
  EXPECT_EQ(f.Lines(),
            (std::vector<std::string>{"DVL Принят запрос 12 б.", "DVL Запрос незавершенный.",
                                      "DVL Соединение закрыто."}));
}

TEST_F(DispConnConcurrencyTest, ClientThatStopsReadingItsAnswerIsDroppedAfterTheSendWait) {
  f.Device(123, "secret");
  f.DeviceFile(123, "0000123-100301.bin", std::string(10000000, 'a'));
  LoopbackPair pair(listener);
  const int small = 4096;
  setsockopt(pair.client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  auto conn = Start(pair, DispTimings{5000, 20000, 200});
  pair.Send(Request(2, {DataElement(123, Pw("secret  "), "??????", 0)}));
  // Nothing is read: the answer cannot go out, and the connection ends after the send wait.
  const bool ended = WaitUntil([&] { return conn->Finished(); }, 10000);
  if (!ended) {
    close(pair.client);  // unread data: the server's end is reset, and its send fails
    pair.client = -1;
  }
  conn->WaitFor();
  EXPECT_TRUE(ended);
  const std::vector<std::string> lines = f.Lines();
  EXPECT_EQ(lines.back(), "DVL Соединение закрыто.");
}

TEST_F(DispConnConcurrencyTest, LateSecondChunkEndsTheConnection) {
  LoopbackPair pair(listener);
  auto conn = Start(pair);
  const std::string req = Request(192, {LastPosElement(5, Pw("x"))});
  pair.Send(req.substr(0, 12));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto l = f.Lines();
        return std::find(l.begin(), l.end(), "DVL Запрос незавершенный.") != l.end();
      },
      5000));
  f.clock.tick += 20001;
  pair.Send(req.substr(12));
  EXPECT_EQ(pair.ReceiveAll(), "");
  conn->WaitFor();
  EXPECT_EQ(f.Lines(),
            (std::vector<std::string>{"DVL Принят запрос 14 б.", "DVL Таймаут соединения.",
                                      "DVL Соединение закрыто."}));
}

TEST_F(DispConnConcurrencyTest, ConcurrentRoutesForOneDeviceAreStoredWholeOrNotAtAll) {
  f.Device(77, "pw");
  f.registry.served.insert(77);
  constexpr int kClients = 8;
  std::vector<std::string> answers(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(
        [&, i] { answers[i] = Ask(Request(128, {RouteElement(77, Pw("pw      "), 1000 + i)})); });
  }
  for (auto& t : clients) t.join();
  std::set<uint32_t> stored;
  for (int i = 0; i < kClients; ++i) {
    ASSERT_GE(answers[i].size(), 10u);
    if (ReadU32(answers[i], 6) == 1) stored.insert(1000 + i);
  }
  // Each stored route is exactly one whole 12-byte record of the week's file.
  const std::string file = ReadFile(f.Folder(77) + "/0000077-100315.route");
  ASSERT_EQ(file.size(), 12 * stored.size());
  std::set<uint32_t> inFile;
  for (size_t at = 0; at < file.size(); at += 12) inFile.insert(ReadU32(file, at + 4));
  EXPECT_EQ(inFile, stored);
  EXPECT_FALSE(stored.empty());
}

}  // namespace
}  // namespace orbitrace
