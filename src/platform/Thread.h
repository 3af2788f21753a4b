// Worker thread class. A thread is created suspended, runs Execute() once resumed, then runs its
// termination handler on the main loop's thread and, when set to free itself, deletes itself.
//
// The OS threads behind TThread objects are kept for reuse: when a thread's Execute() has ended,
// its OS thread waits a while for the next TThread of the same stack size instead of exiting.
// A server that starts a thread for every short connection so saves the creation and the exit
// of an OS thread per connection. A thread ID can therefore appear again for a later TThread,
// as thread IDs are reused by the system anyway.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>

namespace orbitrace {

namespace thread_detail {
struct Worker;
}

class TThread {
 public:
  enum class Priority { Normal, Idle };

  // Takes a waiting OS thread of this stack size, or creates one; either way the thread is
  // suspended. `stackSize` 0 takes the system default. Throws std::system_error when no thread
  // can be created.
  explicit TThread(size_t stackSize = 0);
  // A thread that does not free itself must have ended (or never been resumed); the destructor
  // asks it to terminate and waits for it.
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

  // OS threads of `stackSize` (as given to the constructor) now waiting for a next TThread.
  static size_t SpareThreads(size_t stackSize);

 protected:
  virtual void Execute() = 0;

 private:
  friend struct thread_detail::Worker;
  // Runs on the OS thread once resumed; the object may be gone when it returns. False when the
  // OS thread cannot serve another TThread.
  bool Run();
  // Gives the OS thread back unused (the thread was never resumed); idempotent.
  void ReleaseUnused();
  // Waits until the OS thread no longer uses this object.
  void WaitDone();

  thread_detail::Worker* worker_ = nullptr;
  uint32_t tid_ = 0;
  std::mutex mu_;
  std::condition_variable cv_;
  bool resumed_ = false;
  bool done_ = false;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> freeOnTerminate_{false};
  std::atomic<Priority> priority_{Priority::Normal};
  std::function<void(TThread&)> onTerminate_;
};

// Stack size for a connection thread: small, so thousands of connections fit.
size_t ConnectionStackSize();

}  // namespace orbitrace
