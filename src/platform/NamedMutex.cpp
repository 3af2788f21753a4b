#include "platform/NamedMutex.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace orbitrace {

struct NamedMutex::Shared {
  std::atomic<uint32_t> state;  // kReady once the creator has initialised the mutex
  uint32_t layout;
  pthread_mutex_t mutex;
};

namespace {

constexpr uint32_t kReady = 0x4F524254;  // marks an initialised object
constexpr uint32_t kLayout = sizeof(pthread_mutex_t);

std::string ShmName(const std::string& name) {
  std::string out = "/";
  for (char c : IpcPrefix() + name) out.push_back(c == '/' ? '_' : c);
  return out;
}

}  // namespace

std::string IpcPrefix() {
  const char* p = std::getenv("ORBITRACE_IPC_PREFIX");
  return p ? std::string(p) : std::string();
}

std::unique_ptr<NamedMutex> NamedMutex::Create(const std::string& name) {
  const std::string shm = ShmName(name);
  bool creator = true;
  int fd = shm_open(shm.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    creator = false;
    fd = shm_open(shm.c_str(), O_RDWR | O_CLOEXEC, 0600);
  }
  if (fd < 0) return nullptr;
  if (creator && ftruncate(fd, sizeof(Shared)) != 0) {
    close(fd);
    shm_unlink(shm.c_str());
    return nullptr;
  }
  if (!creator) {
    // The creator may still be sizing the object; give it a moment.
    for (int i = 0; i < 200; ++i) {
      struct stat st {};
      if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(Shared))) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Shared))) {
      close(fd);
      return nullptr;
    }
  }
  void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mem == MAP_FAILED) return nullptr;
  auto* shared = static_cast<Shared*>(mem);
  if (creator) {
    shared->layout = kLayout;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    const int rc = pthread_mutex_init(&shared->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0) {
      munmap(mem, sizeof(Shared));
      shm_unlink(shm.c_str());
      return nullptr;
    }
    shared->state.store(kReady, std::memory_order_release);
  } else {
    for (int i = 0; i < 200 && shared->state.load(std::memory_order_acquire) != kReady; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (shared->state.load(std::memory_order_acquire) != kReady || shared->layout != kLayout) {
      munmap(mem, sizeof(Shared));
      return nullptr;
    }
  }
  return std::unique_ptr<NamedMutex>(new NamedMutex(name, shared));
}

void NamedMutex::Remove(const std::string& name) {
  shm_unlink(ShmName(name).c_str());
}

NamedMutex::~NamedMutex() {
  munmap(shared_, sizeof(Shared));
}

WaitResult NamedMutex::Wait(uint32_t timeoutMs) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not intercept pthread_mutex_clocklock and would then see every
  // release as a release of a mutex never taken; its build waits on the real-time clock.
  constexpr clockid_t kWaitClock = CLOCK_REALTIME;
#else
  constexpr clockid_t kWaitClock = CLOCK_MONOTONIC;
#endif
  timespec deadline{};
  clock_gettime(kWaitClock, &deadline);
  deadline.tv_sec += static_cast<time_t>(timeoutMs / 1000);
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
#if defined(__SANITIZE_THREAD__)
  const int rc = pthread_mutex_timedlock(&shared_->mutex, &deadline);
#else
  const int rc = pthread_mutex_clocklock(&shared_->mutex, kWaitClock, &deadline);
#endif
  switch (rc) {
    case 0:
      return WaitResult::Acquired;
    case ETIMEDOUT:
      return WaitResult::Timeout;
    case EOWNERDEAD:
      // The previous owner died holding it: repair and hand it back, but report the wait as
      // failed so the caller does not act on state the dead owner may have left half-done.
      pthread_mutex_consistent(&shared_->mutex);
      pthread_mutex_unlock(&shared_->mutex);
      return WaitResult::Abandoned;
    default:
      return WaitResult::Failed;
  }
}

void NamedMutex::Release() {
  pthread_mutex_unlock(&shared_->mutex);
}

}  // namespace orbitrace
