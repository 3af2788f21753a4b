#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "logging/Debug.h"
#include "platform/MainLoop.h"
#include "platform/Process.h"
#include "platform/TextCodec.h"
#include "platform/Thread.h"

namespace orbitrace {
namespace {

class Worker;
bool WaitForRan(Worker& w);

class Worker : public TThread {
 public:
  explicit Worker(std::atomic<int>& counter, size_t stackSize = 0)
      : TThread(stackSize), counter_(counter) {}
  ~Worker() override { ++counter_; }

 protected:
  void Execute() override {
    ran = true;
    while (!Terminated()) SleepMs(1);
  }

 public:
  std::atomic<bool> ran{false};

 private:
  std::atomic<int>& counter_;
};

bool WaitForRan(Worker& w) {
  return test::WaitUntil([&] { return w.ran.load(); }, 5000);
}

TEST(ThreadConcurrencyTest, SuspendedUntilResumedThenHandlerRunsOnTheLoopAndFreesItself) {
  MainLoop loop;
  MainLoop::SetMain(&loop);
  std::atomic<int> destroyed{0};
  std::thread::id handlerThread;
  auto* w = new Worker(destroyed);
  EXPECT_NE(w->ThreadID(), 0u);
  w->SetFreeOnTerminate(true);
  w->SetOnTerminate([&](TThread& t) {
    handlerThread = std::this_thread::get_id();
    EXPECT_TRUE(t.Finished());
    loop.Quit();
  });
  SleepMs(20);
  EXPECT_FALSE(w->ran);
  w->Resume();
  std::thread stopper([&] {
    EXPECT_TRUE(WaitForRan(*w));
    w->Terminate();
  });
  loop.Run();
  stopper.join();
  EXPECT_EQ(handlerThread, std::this_thread::get_id());
  EXPECT_TRUE(test::WaitUntil([&] { return destroyed == 1; }, 5000));
  MainLoop::SetMain(nullptr);
}

TEST(ThreadConcurrencyTest, UnresumedThreadCanBeDestroyed) {
  std::atomic<int> destroyed{0};
  { Worker w(destroyed); }
  EXPECT_EQ(destroyed, 1);
}

TEST(ThreadConcurrencyTest, OsThreadsServeOneThreadAfterAnotherUnlessTheyRanAtIdlePriority) {
  // A stack size no other test uses, so that the spare threads counted are this test's own.
  const size_t stack = 3 * 64 * 1024 + 4096;
  std::atomic<int> destroyed{0};
  { Worker unused(destroyed, stack); }
  EXPECT_EQ(TThread::SpareThreads(stack), 1u);  // given back at once

  auto* first = new Worker(destroyed, stack);
  EXPECT_EQ(TThread::SpareThreads(stack), 0u);
  const uint32_t tid = first->ThreadID();
  first->Resume();
  ASSERT_TRUE(WaitForRan(*first));
  first->Terminate();
  first->WaitFor();
  delete first;
  ASSERT_TRUE(test::WaitUntil([&] { return TThread::SpareThreads(stack) == 1; }, 5000));

  // The next thread of that size runs on the same OS thread.
  auto* second = new Worker(destroyed, stack);
  EXPECT_EQ(second->ThreadID(), tid);
  second->SetPriority(TThread::Priority::Idle);
  second->SetFreeOnTerminate(true);
  second->Resume();
  ASSERT_TRUE(WaitForRan(*second));
  second->Terminate();
  ASSERT_TRUE(test::WaitUntil([&] { return destroyed == 3; }, 5000));
  // It ran in the idle class, which it cannot leave: its OS thread ends instead of waiting.
  SleepMs(50);
  EXPECT_EQ(TThread::SpareThreads(stack), 0u);
}

TEST(ThreadConcurrencyTest, SendRunsOnTheLoopAndFailsOnceItStopped) {
  MainLoop loop;
  std::thread::id where;
  std::thread caller([&] {
    while (!loop.Running()) SleepMs(1);
    EXPECT_TRUE(loop.Send([&] { where = std::this_thread::get_id(); }));
    loop.Quit();
  });
  loop.Run();
  caller.join();
  EXPECT_EQ(where, std::this_thread::get_id());
  bool ran = false;
  EXPECT_FALSE(loop.Send([&] { ran = true; }));
  EXPECT_FALSE(ran);
}

TEST(ThreadConcurrencyTest, TimerRestartPostponesAndDisableStops) {
  MainLoop loop;
  std::atomic<int> ticks{0};
  Timer timer(loop, 200, [&] {
    ++ticks;
    loop.Quit();
  });
  Timer restarter(loop, 50, [&] {
    // Three restarts within the interval push the tick out each time.
    static int n = 0;
    if (++n <= 3) timer.Restart();
  });
  const auto start = std::chrono::steady_clock::now();
  loop.Run();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ticks, 1);
  EXPECT_GE(elapsed, std::chrono::milliseconds(340));  // last restart at ~150 ms + 200 ms

  timer.SetEnabled(false);
  restarter.SetEnabled(false);
  Timer quitter(loop, 100, [&] { loop.Quit(); });
  loop.Run();
  EXPECT_EQ(ticks, 1);
}

TEST(ThreadConcurrencyTest, LogWriterKeepsEachProducersOrder) {
  test::ScratchDir dir;
  LogSettings settings;
  settings.SetLogFolder(dir.path() + "/");
  settings.enableLogSplit = 0;
  settings.logLevel = 2;
  auto* writer = new TDebugWriter(settings, SystemClock::Instance(), 1);
  writer->CreateLogMutexes();
  writer->Resume();
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([writer, p] {
      for (int i = 0; i < 500; ++i) {
        writer->AddWiFiRecord(0, static_cast<uint32_t>(p), kLevelERR, std::to_string(i));
      }
    });
  }
  for (auto& t : producers) t.join();
  delete writer;  // terminates, flushes the rest and joins
  const std::string text = Cp1251ToUtf8(test::ReadFile(dir / "WiFiLog.log"));
  int next[4] = {0, 0, 0, 0};
  size_t pos = 0, lines = 0;
  while ((pos = text.find("Прибор:", pos)) != std::string::npos) {
    const int p = std::stoi(text.substr(pos + std::string("Прибор:").size(), 7));
    const size_t tab = text.find('\t', pos);
    const int i = std::stoi(text.substr(tab + 1));
    EXPECT_EQ(i, next[p]) << "producer " << p;
    next[p] = i + 1;
    ++lines;
    ++pos;
  }
  EXPECT_EQ(lines, 2000u);
}

}  // namespace
}  // namespace orbitrace
