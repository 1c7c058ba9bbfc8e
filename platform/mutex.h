// A mutex that clang's thread-safety analysis (-Wthread-safety) knows as a
// lock, for the stand-ins and providers, which run on the C++ runtime's own
// threads. std::mutex carries no annotation, so a member guarded by one
// cannot be checked; guarded by this one (VEL_GUARDED_BY), it is.
#ifndef VEL_MUTEX_H
#define VEL_MUTEX_H

#include <condition_variable>
#include <mutex>

#include "platform.h"

namespace vel::os {

class VEL_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() VEL_ACQUIRE() { mutex_.lock(); }
  void unlock() VEL_RELEASE() { mutex_.unlock(); }
  bool try_lock() VEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for the life of a scope. Wait() lets it go while waiting on
// a condition and holds it again before returning, as std::unique_lock does.
class VEL_SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) VEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() VEL_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Waits on condition until notified (or spuriously woken); the caller
  // checks its predicate in a loop around it, under the lock.
  void Wait(std::condition_variable_any& condition) { condition.wait(mutex_); }

  // The same, returning when deadline passes first (false then).
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable_any& condition,
                 const std::chrono::time_point<Clock, Duration>& deadline) {
    return condition.wait_until(mutex_, deadline) == std::cv_status::no_timeout;
  }

 private:
  Mutex& mutex_;
};

}  // namespace vel::os

#endif
