#include "platform/awaitable_lock.h"

namespace qrv {

namespace {

// Without its release event (its creation failed when the module attached)
// an awaiting thread looks again after this pause instead: slower, never
// stuck.
constexpr DWORD kPauseWithoutEventMs = 50;

}  // namespace

AwaitableLock::AwaitableLock() : released_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  InitializeCriticalSection(&section_);
}

AwaitableLock::~AwaitableLock() {
  DeleteCriticalSection(&section_);
  if (released_ != nullptr) CloseHandle(released_);
}

// Leave and EnterUnless both make a read-modify-write of awaiting_, so one
// reads the other's. Either this one comes first: the awaiting thread's
// increment then reads it, which orders this release before that thread's
// next TryEnter. Or the increment comes first: this one reads it and the
// event wakes the thread. A plain load here could miss both, and the thread
// would sleep through the release. A release while the caller still holds
// the lock recursively only costs the waiter a wasted look.
void AwaitableLock::Leave() {
  LeaveCriticalSection(&section_);
  if (awaiting_.fetch_add(0, std::memory_order_acq_rel) != 0 && released_ != nullptr) {
    SetEvent(released_);
  }
}

bool AwaitableLock::EnterUnless(HANDLE stop) QRV_NO_THREAD_SAFETY_ANALYSIS {
  awaiting_.fetch_add(1, std::memory_order_acq_rel);
  bool entered = TryEnter();
  while (!entered && AwaitRelease(stop)) entered = TryEnter();
  awaiting_.fetch_sub(1, std::memory_order_relaxed);
  return entered;
}

// A release signalled before the wait began leaves the auto-reset event set,
// so the wait returns at once: no release is missed.
bool AwaitableLock::AwaitRelease(HANDLE stop) const {
  if (released_ == nullptr) return WaitForSingleObject(stop, kPauseWithoutEventMs) == WAIT_TIMEOUT;
  const HANDLE events[2] = {stop, released_};
  return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

}  // namespace qrv
