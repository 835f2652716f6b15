// The process-wide lock, as the expression every lock requirement names.
#ifndef QUORVEL_PLATFORM_PROCESS_LOCK_H_
#define QUORVEL_PLATFORM_PROCESS_LOCK_H_

#include "platform/awaitable_lock.h"

namespace qrv {

// Serialises the entry points with one another and with the heartbeat's
// teardown of the service connections, which awaits it (EnterUnless).
// Declared below every layer that names it; the process context holds it
// from module attach to detach.
AwaitableLock& ProcessLock();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_PROCESS_LOCK_H_
