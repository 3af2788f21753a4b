#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "TestSupport.h"
#include "platform/NamedMutex.h"

namespace orbitrace {
namespace {

class NamedMutexConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override { NamedMutex::Remove(kName); }
  void TearDown() override { NamedMutex::Remove(kName); }

  // Runs a child process that takes the mutex, reports through a pipe, then either waits for
  // the parent's word before releasing it or dies holding it.
  pid_t StartHolder(bool dieHolding, int& toChild) {
    int up[2], down[2];
    EXPECT_EQ(pipe(up), 0);
    EXPECT_EQ(pipe(down), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      auto m = NamedMutex::Create(kName);
      const bool got = m && m->Wait(1000) == WaitResult::Acquired;
      char c = got ? 'y' : 'n';
      if (write(up[1], &c, 1) != 1) _exit(3);
      if (dieHolding) _exit(0);
      if (read(down[0], &c, 1) != 1) _exit(4);
      m->Release();
      _exit(0);
    }
    char c = 0;
    EXPECT_EQ(read(up[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    close(up[0]);
    close(up[1]);
    close(down[0]);
    toChild = down[1];
    return pid;
  }

  static constexpr const char* kName = "NamedMutexTest";
};

TEST_F(NamedMutexConcurrencyTest, TimedWaitFailsWhileAnotherProcessHoldsIt) {
  auto m = NamedMutex::Create(kName);
  ASSERT_TRUE(m);
  int toChild = -1;
  const pid_t pid = StartHolder(false, toChild);
  EXPECT_EQ(m->Wait(100), WaitResult::Timeout);
  ASSERT_EQ(write(toChild, "x", 1), 1);
  close(toChild);
  waitpid(pid, nullptr, 0);
  EXPECT_EQ(m->Wait(1000), WaitResult::Acquired);
  m->Release();
}

TEST_F(NamedMutexConcurrencyTest, OwnerThatDiedLeavesItUsable) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not model a timed lock that returns EOWNERDEAD";
#endif
  auto m = NamedMutex::Create(kName);
  ASSERT_TRUE(m);
  int toChild = -1;
  const pid_t pid = StartHolder(true, toChild);
  close(toChild);
  waitpid(pid, nullptr, 0);
  // The wait that finds the dead owner counts as failed and leaves the mutex free.
  EXPECT_EQ(m->Wait(1000), WaitResult::Abandoned);
  EXPECT_EQ(m->Wait(1000), WaitResult::Acquired);
  m->Release();
  // Another thread can take it now: it is not left held.
  std::thread([&] {
    auto other = NamedMutex::Create(kName);
    EXPECT_TRUE(WaitAcquired(other.get(), 1000));
    other->Release();
  }).join();
}

TEST_F(NamedMutexConcurrencyTest, RecursiveWithinAThreadExclusiveAcrossThreads) {
  auto m = NamedMutex::Create(kName);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->Wait(100), WaitResult::Acquired);
  ASSERT_EQ(m->Wait(100), WaitResult::Acquired);
  m->Release();
  std::thread([&] { EXPECT_EQ(m->Wait(50), WaitResult::Timeout); }).join();
  m->Release();
  std::thread([&] {
    EXPECT_EQ(m->Wait(50), WaitResult::Acquired);
    m->Release();
  }).join();
  EXPECT_FALSE(WaitAcquired(nullptr, 10));
}

}  // namespace
}  // namespace orbitrace
