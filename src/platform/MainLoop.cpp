#include "platform/MainLoop.h"

#include <algorithm>
#include <atomic>

namespace orbitrace {

namespace {
std::atomic<MainLoop*> g_main{nullptr};
}

struct MainLoop::Call {
  std::function<void()> fn;
  bool done = false;
  bool ran = false;
};

MainLoop::MainLoop() = default;

MainLoop::~MainLoop() {
  MainLoop* self = this;
  g_main.compare_exchange_strong(self, nullptr);
}

MainLoop* MainLoop::Main() {
  return g_main.load(std::memory_order_acquire);
}
void MainLoop::SetMain(MainLoop* loop) {
  g_main.store(loop, std::memory_order_release);
}

bool MainLoop::Running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

void MainLoop::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  running_ = true;
  stopped_ = false;
  loopThread_ = std::this_thread::get_id();
  while (!quit_) {
    if (!calls_.empty()) {
      std::shared_ptr<Call> call = calls_.front();
      calls_.pop_front();
      lock.unlock();
      call->fn();
      lock.lock();
      call->ran = true;
      call->done = true;
      cv_.notify_all();
      continue;
    }
    const auto now = Clock::now();
    Timer* dueTimer = nullptr;
    auto next = Clock::time_point::max();
    for (Timer* t : timers_) {
      if (!t->enabled_) continue;
      if (t->due_ <= now) {
        if (!dueTimer || t->due_ < dueTimer->due_) dueTimer = t;
      } else {
        next = std::min(next, t->due_);
      }
    }
    if (dueTimer) {
      dueTimer->due_ = now + std::chrono::milliseconds(dueTimer->intervalMs_);
      std::function<void()> handler = dueTimer->onTimer_;
      lock.unlock();
      if (handler) handler();
      lock.lock();
      continue;
    }
    if (next == Clock::time_point::max()) {
      cv_.wait(lock);
    } else {
      cv_.wait_until(lock, next);
    }
  }
  running_ = false;
  stopped_ = true;
  quit_ = false;  // the request is used up; a later Run() starts afresh
  for (auto& call : calls_) call->done = true;
  calls_.clear();
  cv_.notify_all();
}

void MainLoop::Quit() {
  std::lock_guard<std::mutex> lock(mu_);
  quit_ = true;
  cv_.notify_all();
}

bool MainLoop::Send(std::function<void()> fn) {
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  std::unique_lock<std::mutex> lock(mu_);
  if (running_ && loopThread_ == std::this_thread::get_id()) {
    lock.unlock();
    call->fn();
    return true;
  }
  // A loop that has not started yet will run the call once it does; one that ended will not.
  if (stopped_ || (quit_ && !running_)) return false;
  calls_.push_back(call);
  cv_.notify_all();
  cv_.wait(lock, [&] { return call->done; });
  return call->ran;
}

void MainLoop::AddTimer(Timer* t) {
  std::lock_guard<std::mutex> lock(mu_);
  timers_.push_back(t);
  cv_.notify_all();
}

void MainLoop::RemoveTimer(Timer* t) {
  std::lock_guard<std::mutex> lock(mu_);
  timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end());
}

Timer::Timer(MainLoop& loop, uint32_t intervalMs, std::function<void()> onTimer, bool enabled)
    : loop_(loop),
      onTimer_(std::move(onTimer)),
      intervalMs_(intervalMs),
      enabled_(enabled),
      due_(MainLoop::Clock::now() + std::chrono::milliseconds(intervalMs)) {
  loop_.AddTimer(this);
}

Timer::~Timer() {
  loop_.RemoveTimer(this);
}

void Timer::SetEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(loop_.mu_);
  if (enabled && !enabled_) due_ = MainLoop::Clock::now() + std::chrono::milliseconds(intervalMs_);
  enabled_ = enabled;
  loop_.cv_.notify_all();
}

void Timer::Restart() {
  std::lock_guard<std::mutex> lock(loop_.mu_);
  enabled_ = true;
  due_ = MainLoop::Clock::now() + std::chrono::milliseconds(intervalMs_);
  loop_.cv_.notify_all();
}

}  // namespace orbitrace
