// A critical section whose release a thread can await together with an event
// of its own, and its scoped owner.
#ifndef QUORVEL_PLATFORM_AWAITABLE_LOCK_H_
#define QUORVEL_PLATFORM_AWAITABLE_LOCK_H_

#include <atomic>

#include "platform/thread_annotations.h"
#include "platform/win32.h"

namespace qrv {

// Never entered twice by one thread (recursion is neither needed nor relied
// on). EnterUnless is for a thread whose lock holder may be waiting for it:
// it waits on the thread's stop event and on the lock's releases, never on
// the lock.
class QRV_CAPABILITY("mutex") AwaitableLock {
 public:
  AwaitableLock();
  AwaitableLock(const AwaitableLock&) = delete;
  AwaitableLock& operator=(const AwaitableLock&) = delete;
  ~AwaitableLock();

  void Enter() QRV_ACQUIRE() { EnterCriticalSection(&section_); }
  void Leave() QRV_RELEASE();
  // True holding the lock; false when the wait reported `stop` (consuming it
  // if auto-reset) or failed.
  bool EnterUnless(HANDLE stop) QRV_TRY_ACQUIRE(true);

 private:
  bool TryEnter() QRV_TRY_ACQUIRE(true) { return TryEnterCriticalSection(&section_) != FALSE; }
  // False when `stop` ended the wait or the wait failed.
  bool AwaitRelease(HANDLE stop) const;

  CRITICAL_SECTION section_;
  HANDLE released_;  // auto-reset, set by a release while a thread awaits one; may be null
  std::atomic<int> awaiting_{0};
};

// Holds the lock from construction to the end of the scope.
class QRV_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(AwaitableLock& lock) QRV_ACQUIRE(lock) : lock_(lock) { lock_.Enter(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() QRV_RELEASE() { lock_.Leave(); }

 private:
  AwaitableLock& lock_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_AWAITABLE_LOCK_H_
