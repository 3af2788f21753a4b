#include "platform/Thread.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <system_error>

#include "platform/MainLoop.h"

#ifndef ORBITRACE_STACK_SCALE
#define ORBITRACE_STACK_SCALE 1
#endif

namespace orbitrace {

size_t ConnectionStackSize() {
  return size_t{256} * 1024 * ORBITRACE_STACK_SCALE;
}

TThread::TThread(size_t stackSize) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stackSize != 0) {
    size_t size = stackSize;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, size);
  }
  const int rc = pthread_create(&handle_, &attr, &TThread::Entry, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_create");
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return started_; });
}

TThread::~TThread() {
  if (handle_ == pthread_t{} || pthread_equal(handle_, pthread_self())) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!resumed_) cancelled_ = true;
    cv_.notify_all();
  }
  terminated_.store(true, std::memory_order_release);
  if (!joined_) pthread_join(handle_, nullptr);
}

void* TThread::Entry(void* arg) {
  static_cast<TThread*>(arg)->Run();
  return nullptr;
}

void TThread::Run() {
  {
    std::unique_lock<std::mutex> lock(mu_);
    tid_ = static_cast<uint32_t>(syscall(SYS_gettid));
    started_ = true;
    cv_.notify_all();
    cv_.wait(lock, [this] { return resumed_ || cancelled_; });
    if (cancelled_) return;
  }
  if (priority_.load() == Priority::Idle) {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
  }
  try {
    Execute();
  } catch (...) {
    // Thread bodies catch and log their own exceptions; nothing may escape a thread.
  }
  finished_.store(true, std::memory_order_release);
  if (onTerminate_) {
    Synchronize([this] { onTerminate_(*this); });
  }
  if (freeOnTerminate_.load()) {
    pthread_detach(pthread_self());
    delete this;
  }
}

void TThread::Resume() {
  std::lock_guard<std::mutex> lock(mu_);
  resumed_ = true;
  cv_.notify_all();
}

void TThread::Terminate() {
  terminated_.store(true, std::memory_order_release);
}

void TThread::WaitFor() {
  if (joined_ || freeOnTerminate_.load() || pthread_equal(handle_, pthread_self())) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!resumed_) cancelled_ = true;
    cv_.notify_all();
  }
  pthread_join(handle_, nullptr);
  joined_ = true;
}

bool TThread::Synchronize(const std::function<void()>& fn) {
  MainLoop* loop = MainLoop::Main();
  if (loop == nullptr) {
    fn();
    return true;
  }
  return loop->Send(fn);
}

}  // namespace orbitrace
