// Named, recursive mutex shared between processes: a robust process-shared pthread mutex in a
// POSIX shared-memory object named "/" + IPC prefix + name. Waits are always timed. A mutex
// whose owner died is made consistent and released again, and that wait counts as failed, so
// the mutex is never left held by nobody.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orbitrace {

enum class WaitResult { Acquired, Timeout, Abandoned, Failed };

class NamedMutex {
 public:
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Creates the mutex or opens the existing one of that name; nullptr on failure.
  static std::unique_ptr<NamedMutex> Create(const std::string& name);
  // Removes the shared-memory name (tests clean up with it; existing handles stay valid).
  static void Remove(const std::string& name);

  WaitResult Wait(uint32_t timeoutMs);
  void Release();
  const std::string& Name() const { return name_; }

 private:
  struct Shared;
  NamedMutex(std::string name, Shared* shared) : name_(std::move(name)), shared_(shared) {}
  std::string name_;
  Shared* shared_;
};

// True only when the wait acquired the mutex; a null mutex counts as a failed wait.
inline bool WaitAcquired(NamedMutex* m, uint32_t timeoutMs) {
  return m != nullptr && m->Wait(timeoutMs) == WaitResult::Acquired;
}

// Holds a named mutex for a scope when the timed wait succeeded.
class NamedLock {
 public:
  NamedLock(NamedMutex* m, uint32_t timeoutMs) : m_(WaitAcquired(m, timeoutMs) ? m : nullptr) {}
  ~NamedLock() {
    if (m_) m_->Release();
  }
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  bool Acquired() const { return m_ != nullptr; }
  explicit operator bool() const { return Acquired(); }

 private:
  NamedMutex* m_;
};

// The prefix put in front of every IPC name (environment variable ORBITRACE_IPC_PREFIX).
std::string IpcPrefix();

}  // namespace orbitrace
