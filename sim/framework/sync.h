// A mutex, a condition variable and a monotonic clock for the framework
// module. mingw's default (win32) thread model has no std::mutex or
// std::condition_variable, so Windows builds use SRW locks and condition
// variables directly.
#ifndef QUORVEL_SIM_FRAMEWORK_SYNC_H_
#define QUORVEL_SIM_FRAMEWORK_SYNC_H_

#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <chrono>
#include <condition_variable>
#include <mutex>
#endif

namespace pxcom {

class CondVar;

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

#if defined(_WIN32)
  void Lock() { AcquireSRWLockExclusive(&lock_); }
  void Unlock() { ReleaseSRWLockExclusive(&lock_); }
#else
  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }
#endif

 private:
  friend class CondVar;
#if defined(_WIN32)
  SRWLOCK lock_ = SRWLOCK_INIT;
#else
  std::mutex mu_;
#endif
};

// Holds a Mutex for its scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex* mu) : mu_(mu) { mu_->Lock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() { mu_->Unlock(); }

 private:
  Mutex* mu_;
};

// Milliseconds from an arbitrary fixed point; never goes backwards.
inline uint64_t MonotonicMs() {
#if defined(_WIN32)
  return GetTickCount64();
#else
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
#endif
}

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // REQUIRES: *mu is held by the caller. Releases it while waiting, at most
  // `ms` milliseconds; wakes may be spurious, so callers re-check.
  void WaitFor(Mutex* mu, uint32_t ms) {
#if defined(_WIN32)
    SleepConditionVariableSRW(&cv_, &mu->lock_, ms, 0);
#else
    std::unique_lock<std::mutex> held(mu->mu_, std::adopt_lock);
    cv_.wait_for(held, std::chrono::milliseconds(ms));
    held.release();
#endif
  }

  void SignalAll() {
#if defined(_WIN32)
    WakeAllConditionVariable(&cv_);
#else
    cv_.notify_all();
#endif
  }

 private:
#if defined(_WIN32)
  CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
#else
  std::condition_variable cv_;
#endif
};

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_SYNC_H_
