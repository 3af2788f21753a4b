// The main thread's loop: a queue of synchronous calls plus timers, all run on the
// thread that called Run(). Timers may be enabled, disabled and restarted from any thread;
// their handlers always run on the loop's thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace orbitrace {

class Timer;

class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Runs calls and timers on the calling thread until Quit().
  void Run();
  // Ends Run(); calls still queued are dropped and waiting senders are released. A loop that
  // was asked to quit before it ran does not run at all.
  void Quit();
  // Runs a call on the loop's thread and waits for it; runs it inline when already there. A
  // call sent before Run() starts waits for it. False when the loop has ended (or ended while
  // the call waited), and then the call did not run.
  bool Send(std::function<void()> fn);
  bool Running() const;

  // The loop that TThread::Synchronize and termination handlers use.
  static MainLoop* Main();
  static void SetMain(MainLoop* loop);

 private:
  friend class Timer;
  using Clock = std::chrono::steady_clock;
  struct Call;

  void AddTimer(Timer* t);
  void RemoveTimer(Timer* t);

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<Call>> calls_;
  std::vector<Timer*> timers_;
  bool running_ = false;
  bool stopped_ = false;  // Run() has returned
  bool quit_ = false;
  std::thread::id loopThread_;
};

class Timer {
 public:
  Timer(MainLoop& loop, uint32_t intervalMs, std::function<void()> onTimer, bool enabled = true);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Enabling a disabled timer (re)starts its interval; enabling an enabled one changes nothing.
  void SetEnabled(bool enabled);
  // Disables and enables again: the next tick is one whole interval from now.
  void Restart();

 private:
  friend class MainLoop;
  MainLoop& loop_;
  std::function<void()> onTimer_;
  uint32_t intervalMs_;
  bool enabled_;
  MainLoop::Clock::time_point due_;
};

}  // namespace orbitrace
