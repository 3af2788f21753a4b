#include "dispatcher/Listener.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

#include "TestSupport.h"

namespace orbitrace {
namespace {

// A listener whose first connection thread cannot be created.
class FlakyListener : public TListenerThread {
 public:
  explicit FlakyListener(uint16_t port) : TListenerThread(1), port_(port) {}
  std::atomic<int> failures{0};
  std::atomic<int> served{0};

 protected:
  void Execute() override { Serve(port_); }
  void StartConnection(Socket client, const std::string&) override {
    if (failures == 0) throw std::system_error(EAGAIN, std::generic_category(), "no thread");
    ++served;
    client.SendAll("ok", 2);
  }
  void ConnectionThreadFailed(const std::exception&) override { ++failures; }

 private:
  uint16_t port_;
};

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

TEST(ListenerConcurrencyTest, ClientWithoutThreadIsClosedAndTheListenerKeepsServing) {
  const uint16_t port = test::FreeTcpPort();
  FlakyListener listener(port);
  listener.Resume();
  int first = -1;
  ASSERT_TRUE(test::WaitUntil(
      [&] {
        first = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(first, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
        close(first);
        return false;
      },
      5000));
  char c = 0;
  EXPECT_EQ(read(first, &c, 1), 0);  // turned away: closed without a word
  close(first);
  const int second = Connect(port);
  char buf[2] = {};
  EXPECT_EQ(read(second, buf, 2), 2);
  close(second);
  EXPECT_EQ(listener.failures, 1);
  EXPECT_EQ(listener.served, 1);
  EXPECT_EQ(listener.ExitCode, kListenerEnded);
  listener.Terminate();
  listener.WaitFor();
}

}  // namespace
}  // namespace orbitrace
