#include "platform/awaitable_lock.h"

namespace qrv {

// Without its release event (its creation failed) an awaiting thread looks
// again after this pause: slower, never stuck.
constexpr DWORD kPauseWithoutEventMs = 50;

// A critical section: the one Win32 lock with a TryEnter on every Windows
// version the library supports.
AwaitableLock::AwaitableLock() : released_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  InitializeCriticalSection(&section_);
}

AwaitableLock::~AwaitableLock() {
  DeleteCriticalSection(&section_);
  if (released_ != nullptr) CloseHandle(released_);
}

// Leave and EnterUnless both read-modify-write awaiting_, so one reads the
// other's: either the awaiting thread's increment orders this release before
// its next TryEnter, or this one sees the increment and wakes it. A plain
// load could miss both and let the thread sleep through the release.
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
// so no release is missed.
bool AwaitableLock::AwaitRelease(HANDLE stop) const {
  if (released_ == nullptr) return WaitForSingleObject(stop, kPauseWithoutEventMs) == WAIT_TIMEOUT;
  const HANDLE events[2] = {stop, released_};
  return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

}  // namespace qrv
