// A mutex that clang's thread-safety analysis (-Wthread-safety) knows as a
// lock, for the stand-ins and providers, which run on the C++ runtime's own
// threads. std::mutex carries no annotation, so a member guarded by one
// cannot be checked; guarded by this one (VEL_GUARDED_BY), it is.
#ifndef VEL_MUTEX_H
#define VEL_MUTEX_H

#include <condition_variable>
#include <mutex>
#include <shared_mutex>

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

  // Lets the mutex go before the end of the scope, and takes it again.
  void Unlock() VEL_RELEASE() { mutex_.unlock(); }
  void Lock() VEL_ACQUIRE() { mutex_.lock(); }

  // The same, returning when deadline passes first (false then).
  template <typename Clock, typename Duration>
  bool WaitUntil(std::condition_variable_any& condition,
                 const std::chrono::time_point<Clock, Duration>& deadline) {
    return condition.wait_until(mutex_, deadline) == std::cv_status::no_timeout;
  }

 private:
  Mutex& mutex_;
};

// A lock many may hold to read while one at a time holds it to change
// (std::shared_mutex, known to the analysis).
class VEL_CAPABILITY("mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() VEL_ACQUIRE() { mutex_.lock(); }
  void unlock() VEL_RELEASE() { mutex_.unlock(); }
  void lock_shared() VEL_ACQUIRE_SHARED() { mutex_.lock_shared(); }
  void unlock_shared() VEL_RELEASE_SHARED() { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a SharedMutex alone (to change what it guards) for the life of a
// scope.
class VEL_SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mutex) VEL_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriterLock() VEL_RELEASE() { mutex_.unlock(); }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mutex_;
};

// Holds a SharedMutex with other readers for the life of a scope.
class VEL_SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mutex) VEL_ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReaderLock() VEL_RELEASE() { mutex_.unlock_shared(); }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mutex_;
};

}  // namespace vel::os

#endif
