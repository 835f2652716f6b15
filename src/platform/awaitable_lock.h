// The process-wide lock's type: a critical section whose release a thread can
// await together with an event of its own.
#ifndef QUORVEL_PLATFORM_AWAITABLE_LOCK_H_
#define QUORVEL_PLATFORM_AWAITABLE_LOCK_H_

#include <atomic>

#include "platform/thread_annotations.h"
#include "platform/win32.h"

namespace qrv {

// A critical section is recursive, but no thread ever enters this lock twice:
// the entry points refuse, before they take it, a thread that is inside one
// already or is one of the library's own, and the heartbeat takes it only on
// its own thread. Recursion is therefore not needed, and it is not relied
// on; a critical section is kept because it is the one Win32 lock with a
// TryEnter on every Windows version the library supports.
//
// For a thread that must not block on the lock because its holder may be
// waiting for that thread: EnterUnless waits on the thread's stop event and
// on the lock's releases, never on the lock. Leave signals a release only
// while such a thread waits, so that the ordinary path costs one atomic
// read-modify-write.
class QRV_CAPABILITY("mutex") AwaitableLock {
 public:
  AwaitableLock();
  AwaitableLock(const AwaitableLock&) = delete;
  AwaitableLock& operator=(const AwaitableLock&) = delete;
  ~AwaitableLock();

  void Enter() QRV_ACQUIRE() { EnterCriticalSection(&section_); }
  void Leave() QRV_RELEASE();
  // True, holding the lock, when no other thread holds it.
  bool TryEnter() QRV_TRY_ACQUIRE(true) { return TryEnterCriticalSection(&section_) != FALSE; }
  // Takes the lock unless `stop` is signalled first. True holding the lock;
  // false when the wait reported `stop` (consuming it if auto-reset) or
  // failed.
  bool EnterUnless(HANDLE stop) QRV_TRY_ACQUIRE(true);

 private:
  // False when `stop` ended the wait or the wait failed.
  bool AwaitRelease(HANDLE stop) const;

  CRITICAL_SECTION section_;
  // Auto-reset, set by a release while a thread awaits one; null when it
  // could not be created.
  HANDLE released_;
  std::atomic<int> awaiting_{0};
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_AWAITABLE_LOCK_H_
