#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <vector>

#include "platform/MainLoop.h"

#ifndef ORBITRACE_STACK_SCALE
#define ORBITRACE_STACK_SCALE 1
#endif

namespace orbitrace {

size_t ConnectionStackSize() {
  return size_t{256} * 1024 * ORBITRACE_STACK_SCALE;
}

namespace {

// At most this many OS threads wait for a next TThread; one that waited this long ends.
constexpr size_t kMaxSpareThreads = 64;
constexpr auto kSpareLifetime = std::chrono::seconds(10);

// The TThread whose Run() the calling OS thread is in, so that a thread freeing itself at the
// end of Run() does not wait for itself in the destructor.
thread_local const TThread* currentThread = nullptr;

}  // namespace

namespace thread_detail {

class WorkerPool;
WorkerPool& Pool();

// One OS thread. Its fields are guarded by the pool's mutex.
struct Worker {
  explicit Worker(size_t size) : stackSize(size) {}

  static void* Entry(void* arg) {
    static_cast<Worker*>(arg)->Main();
    return nullptr;
  }
  void Main();

  const size_t stackSize;
  uint32_t tid = 0;
  bool started = false;
  bool spare = false;  // in the pool's spare list, waiting for a TThread
  bool exit = false;   // told to end without a job
  TThread* job = nullptr;
  std::condition_variable cv;
};

class WorkerPool {
 public:
  // A spare OS thread of `stackSize`, or a new one; reserved for one TThread.
  Worker* Take(size_t stackSize) {
    {
      std::lock_guard<std::mutex> lock(mu);
      for (auto it = spares.rbegin(); it != spares.rend(); ++it) {
        if ((*it)->stackSize != stackSize) continue;
        Worker* w = *it;
        spares.erase(std::next(it).base());
        w->spare = false;
        return w;
      }
    }
    auto* w = new Worker(stackSize);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) pthread_attr_setstacksize(&attr, stackSize);
    pthread_t handle;
    const int rc = pthread_create(&handle, &attr, &Worker::Entry, w);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      delete w;
      throw std::system_error(rc, std::generic_category(), "pthread_create");
    }
    std::unique_lock<std::mutex> lock(mu);
    w->cv.wait(lock, [w] { return w->started; });
    return w;
  }

  void Start(Worker* w, TThread* t) {
    // Notified under the lock: once the lock is released, the thread may run the job, end and
    // free `w` (after idle priority, or with the spare list full).
    std::lock_guard<std::mutex> lock(mu);
    w->job = t;
    w->cv.notify_all();
  }

  // A reserved OS thread that got no TThread to run goes back to the spares, or ends.
  void GiveBack(Worker* w) {
    std::lock_guard<std::mutex> lock(mu);
    KeepOrEnd(w);
    w->cv.notify_all();
  }

  // With the mutex held.
  void KeepOrEnd(Worker* w) {
    if (spares.size() >= kMaxSpareThreads) {
      w->exit = true;
      return;
    }
    w->spare = true;
    spares.push_back(w);
  }

  void Remove(Worker* w) { spares.erase(std::find(spares.begin(), spares.end(), w)); }

  std::mutex mu;
  std::vector<Worker*> spares;
};

WorkerPool& Pool() {
  static WorkerPool* pool = new WorkerPool;  // spare threads use it until the process ends
  return *pool;
}

void Worker::Main() {
  WorkerPool& pool = Pool();
  std::unique_lock<std::mutex> lock(pool.mu);
  tid = static_cast<uint32_t>(syscall(SYS_gettid));
  started = true;
  cv.notify_all();
  for (;;) {
    while (job == nullptr && !exit) {
      if (!spare) {
        cv.wait(lock);  // reserved: the TThread is resumed or given back
      } else if (cv.wait_for(lock, kSpareLifetime) == std::cv_status::timeout && spare &&
                 job == nullptr) {
        pool.Remove(this);
        exit = true;
      }
    }
    if (exit) break;
    TThread* t = job;
    job = nullptr;
    lock.unlock();
    const bool reusable = t->Run();  // `t` may be gone now
    lock.lock();
    if (!reusable) break;
    pool.KeepOrEnd(this);
  }
  lock.unlock();
  delete this;
}

}  // namespace thread_detail

TThread::TThread(size_t stackSize) {
  if (stackSize != 0 && stackSize < static_cast<size_t>(PTHREAD_STACK_MIN))
    stackSize = PTHREAD_STACK_MIN;
  worker_ = thread_detail::Pool().Take(stackSize);
  tid_ = worker_->tid;
}

TThread::~TThread() {
  if (currentThread == this) return;  // freeing itself at the end of Run()
  terminated_.store(true, std::memory_order_release);
  ReleaseUnused();
  WaitDone();
}

bool TThread::Run() {
  currentThread = this;
  // A thread cannot leave the idle scheduling class without privileges, so its OS thread ends
  // with it instead of serving another TThread.
  const bool idle = priority_.load() == Priority::Idle;
  if (idle) {
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
    delete this;
  } else {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    cv_.notify_all();
  }
  currentThread = nullptr;
  return !idle;
}

void TThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (resumed_ || done_) return;
    resumed_ = true;
  }
  // Not under the lock: a thread that frees itself may be gone before Start() returns.
  thread_detail::Pool().Start(worker_, this);
}

void TThread::ReleaseUnused() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (resumed_ || done_) return;
    done_ = true;
  }
  thread_detail::Pool().GiveBack(worker_);
}

void TThread::WaitDone() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return done_; });
}

void TThread::Terminate() {
  terminated_.store(true, std::memory_order_release);
}

void TThread::WaitFor() {
  if (freeOnTerminate_.load() || currentThread == this) return;
  ReleaseUnused();
  WaitDone();
}

bool TThread::Synchronize(const std::function<void()>& fn) {
  MainLoop* loop = MainLoop::Main();
  if (loop == nullptr) {
    fn();
    return true;
  }
  return loop->Send(fn);
}

size_t TThread::SpareThreads(size_t stackSize) {
  auto& pool = thread_detail::Pool();
  std::lock_guard<std::mutex> lock(pool.mu);
  return static_cast<size_t>(
      std::count_if(pool.spares.begin(), pool.spares.end(),
                    [&](const thread_detail::Worker* w) { return w->stackSize == stackSize; }));
}

}  // namespace orbitrace
