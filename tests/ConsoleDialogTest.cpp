#include "service/ConsoleDialog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestSupport.h"
#include "platform/NamedMutex.h"
#include "platform/Socket.h"

namespace orbitrace::test {
namespace {

constexpr char kNoAnswer[] = "<disconnected without an answer>";
constexpr char kTimedOut[] = "<neither answered nor disconnected>";

// Sends one request message and reports the answer, or how the server reacted instead.
std::string Ask(Socket& s, std::string_view request) {
  if (!s.SendMessage(request)) return "<send failed>";
  if (s.WaitReadable(5000) != PollResult::Ready) return kTimedOut;
  char buf[512];
  const long n = s.Receive(buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : kNoAnswer;
}

std::string Ask(const std::string& name, std::string_view request) {
  Socket s = ConnectControlSocket(name, 5000);
  if (!s.Valid()) return "<connect failed>";
  return Ask(s, request);
}

class ConsoleDialogConcurrencyTest : public ::testing::Test {
 protected:
  // Short time-outs; the pause keeps its role of separating clients.
  std::unique_ptr<TConsoleDialog> Start(uint32_t readTimeoutMs = 300) {
    auto t =
        std::make_unique<TConsoleDialog>(name_, FormatVersionAnswer(1, 2, 3, 4), readTimeoutMs, 20);
    t->Resume();
    // The socket exists once a client can connect.
    EXPECT_TRUE(WaitUntil([&] { return ConnectControlSocket(name_, 100).Valid(); }, 5000));
    return t;
  }
  const std::string name_ = IpcPrefix() + "ControlTest";
};

TEST_F(ConsoleDialogConcurrencyTest, AnswersTheVersionRequestOnlyAndDisconnectsOtherwise) {
  EXPECT_EQ(FormatVersionAnswer(1, 2, 3, 4), "OrbitraceServer 1.2.3.4-W");
  auto dialog = Start();
  const std::string answer = "OrbitraceServer 1.2.3.4-W";
  const struct {
    std::string request;
    std::string expected;
  } cases[] = {
      {"GET_SERVER_VERSION$", answer},
      {"GET_SERVER_VERSION$\r\n", answer},
      // Only the first 255 bytes are read; the prefix decides.
      {"GET_SERVER_VERSION$" + std::string(1000, 'x'), answer},
      {"get_server_version$", kNoAnswer},
      {"GET_SERVER_VERSION", kNoAnswer},
      {"", kNoAnswer},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ask(name_, c.request), c.expected) << "request of " << c.request.size() << " bytes";
  }
}

TEST_F(ConsoleDialogConcurrencyTest, SilentClientIsDroppedSoTheNextIsServedAndStopIsPrompt) {
  auto dialog = Start(/*readTimeoutMs=*/300);
  Socket silent = ConnectControlSocket(name_, 5000);
  ASSERT_TRUE(silent.Valid());
  // The second client waits in the queue while the first one holds the server.
  EXPECT_EQ(Ask(name_, "GET_SERVER_VERSION$"), "OrbitraceServer 1.2.3.4-W");
  ASSERT_EQ(silent.WaitReadable(5000), PollResult::Ready);
  char c;
  EXPECT_EQ(silent.Receive(&c, 1), 0);  // disconnected without an answer

  // A second server cannot take the name and ends at once.
  TConsoleDialog second(name_, "x");
  second.Resume();
  EXPECT_TRUE(WaitUntil([&] { return second.Finished(); }, 5000));

  // A stop request wakes the thread from its wait for a client.
  dialog->Terminate();
  EXPECT_TRUE(WaitUntil([&] { return dialog->Finished(); }, 5000));
  EXPECT_FALSE(ConnectControlSocket(name_, 100).Valid());
}

}  // namespace
}  // namespace orbitrace::test
