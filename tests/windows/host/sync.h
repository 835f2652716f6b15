// Locks and waits of the Windows test host, on Win32 primitives (the win32
// thread model of mingw-w64 has no std::mutex). Every wait is bounded.
#ifndef QRV_TESTS_WINDOWS_HOST_SYNC_H_
#define QRV_TESTS_WINDOWS_HOST_SYNC_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qrv {
namespace wintest {

// An exclusive lock; holders never wait for anything else while they hold it.
class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  SRWLOCK* get() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// Holds a Lock for its scope.
class Hold {
 public:
  explicit Hold(Lock& lock) : lock_(lock) { AcquireSRWLockExclusive(lock_.get()); }
  ~Hold() { ReleaseSRWLockExclusive(lock_.get()); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  Lock& lock_;
};

// Holds the callbacks that pass it until it is opened, counting those that
// wait. Thread-safe. A callback waits at most kHoldMs, so that a test that
// fails before opening the gate cannot keep the library's workers, and with
// them UnInit, waiting for ever.
class Gate {
 public:
  static constexpr DWORD kHoldMs = 30000;

  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  // Called on a worker thread: waits until Open().
  void Pass() {
    Hold hold(lock_);
    ++waiting_;
    WakeAllConditionVariable(&changed_);
    DWORD start = GetTickCount();
    while (!open_) {
      DWORD elapsed = GetTickCount() - start;
      if (elapsed >= kHoldMs) return;
      SleepConditionVariableSRW(&changed_, lock_.get(), kHoldMs - elapsed, 0);
    }
  }
  // True once `count` callbacks have reached Pass() within `timeoutMs`.
  bool WaitForWaiting(int count, DWORD timeoutMs) {
    Hold hold(lock_);
    DWORD start = GetTickCount();
    while (waiting_ < count) {
      DWORD elapsed = GetTickCount() - start;
      if (elapsed >= timeoutMs) return false;
      SleepConditionVariableSRW(&changed_, lock_.get(), timeoutMs - elapsed, 0);
    }
    return true;
  }
  void Open() {
    Hold hold(lock_);
    open_ = true;
    WakeAllConditionVariable(&changed_);
  }

 private:
  Lock lock_;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_SYNC_H_
