// Worker thread class. A thread is created suspended (its OS thread exists and waits), runs
// Execute() once resumed, then runs its termination handler on the main loop's thread and,
// when set to free itself, deletes itself.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace orbitrace {

class TThread {
 public:
  enum class Priority { Normal, Idle };

  // Creates the OS thread suspended. `stackSize` 0 takes the system default. Throws
  // std::system_error when no thread can be created.
  explicit TThread(size_t stackSize = 0);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Lets a suspended thread run Execute(); later calls do nothing.
  void Resume();
  // Asks Execute() to end; it sees the request through Terminated().
  virtual void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }

  void SetFreeOnTerminate(bool value) { freeOnTerminate_.store(value); }
  void SetPriority(Priority p) { priority_.store(p); }
  // Runs on the main loop's thread after Execute() has returned.
  void SetOnTerminate(std::function<void(TThread&)> handler) { onTerminate_ = std::move(handler); }

  // Waits for a thread that does not free itself to finish.
  void WaitFor();
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Kernel thread ID (what logs print).
  uint32_t ThreadID() const { return tid_; }

  // Runs `fn` on the main loop's thread and waits for it (inline when there is no main loop or
  // the caller is already on it). False when the main loop has stopped and `fn` did not run.
  static bool Synchronize(const std::function<void()>& fn);

 protected:
  virtual void Execute() = 0;

 private:
  static void* Entry(void* arg);
  void Run();

  pthread_t handle_{};
  uint32_t tid_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  bool resumed_ = false;
  bool cancelled_ = false;
  bool started_ = false;
  bool joined_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> freeOnTerminate_{false};
  std::atomic<Priority> priority_{Priority::Normal};
  std::function<void(TThread&)> onTerminate_;
};

// Stack size for a connection thread: small, so thousands of connections fit.
size_t ConnectionStackSize();

}  // namespace orbitrace
