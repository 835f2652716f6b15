// The process-wide lock, as the expression every lock requirement names.
#ifndef QUORVEL_PLATFORM_PROCESS_LOCK_H_
#define QUORVEL_PLATFORM_PROCESS_LOCK_H_

#include "platform/lock_guard.h"

namespace qrv {

// Serialises the four entry points with one another and with the heartbeat's
// teardown of the service connections. Declared here, below every layer that
// names it in a lock requirement; defined by its owner, the process context
// (api/), and valid from module attach to module detach.
CriticalSection& ProcessLock();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_PROCESS_LOCK_H_
