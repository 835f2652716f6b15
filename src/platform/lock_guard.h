// A critical section as a lock the compiler can reason about, and its scoped
// owner.
#ifndef QUORVEL_PLATFORM_LOCK_GUARD_H_
#define QUORVEL_PLATFORM_LOCK_GUARD_H_

#include "platform/thread_annotations.h"
#include "platform/win32.h"

namespace qrv {

// A recursive Win32 critical section, initialised by its constructor and
// deleted by its destructor. Its owner decides its lifetime: the process
// context keeps it from module attach to detach.
class QRV_CAPABILITY("mutex") CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { DeleteCriticalSection(&section_); }

  void Enter() QRV_ACQUIRE() { EnterCriticalSection(&section_); }
  void Leave() QRV_RELEASE() { LeaveCriticalSection(&section_); }
  // True, holding the section, when no other thread holds it.
  bool TryEnter() QRV_TRY_ACQUIRE(true) { return TryEnterCriticalSection(&section_) != FALSE; }

 private:
  CRITICAL_SECTION section_;
};

// Enters the lock (a CriticalSection or an AwaitableLock) for the guard's
// scope; leaves it on every way out.
template <typename Lock>
class QRV_SCOPED_CAPABILITY LockGuard {
 public:
  explicit LockGuard(Lock& lock) QRV_ACQUIRE(lock) : lock_(lock) { lock_.Enter(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() QRV_RELEASE() { lock_.Leave(); }

 private:
  Lock& lock_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_LOCK_GUARD_H_
