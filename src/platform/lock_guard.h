// Scoped ownership of a critical section.
#ifndef QUORVEL_PLATFORM_LOCK_GUARD_H_
#define QUORVEL_PLATFORM_LOCK_GUARD_H_

#include "platform/win32.h"

// Enters the critical section for the guard's scope; leaves it on every way
// out, exceptions included.
class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION* lock) : lock_(lock) { EnterCriticalSection(lock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  ~LockGuard() { LeaveCriticalSection(lock_); }

 private:
  CRITICAL_SECTION* lock_;
};

#endif  // QUORVEL_PLATFORM_LOCK_GUARD_H_
