// The process-wide lock, as the expression every lock requirement names.
#ifndef QUORVEL_PLATFORM_PROCESS_LOCK_H_
#define QUORVEL_PLATFORM_PROCESS_LOCK_H_

#include "platform/awaitable_lock.h"

namespace qrv {

// Serialises the four entry points with one another and with the heartbeat's
// teardown of the service connections, which awaits it (EnterUnless) rather
// than blocking on it. Declared and defined here, below every layer that
// names it in a lock requirement; valid from CreateProcessLock to
// DestroyProcessLock.
AwaitableLock& ProcessLock();

// Called only by the process context, which decides the lock's life: at
// module attach and at module detach.
void CreateProcessLock();
void DestroyProcessLock();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_PROCESS_LOCK_H_
