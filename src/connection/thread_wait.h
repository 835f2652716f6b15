// The wait with which a stop awaits its connection's threads.
#ifndef QUORVEL_CONNECTION_THREAD_WAIT_H_
#define QUORVEL_CONNECTION_THREAD_WAIT_H_

#include <cstdint>

#include "platform/win32.h"

namespace qrv {

// How long a wait for a connection's threads lasts before it is logged.
constexpr DWORD kStuckThreadReportMs = 5000;

// WaitForMultipleObjects on all `count` threads without a time limit; after
// kStuckThreadReportMs it logs, once, the ids of the threads still running.
DWORD WaitForConnectionThreads(const HANDLE* threads, DWORD count, uint32_t serviceId,
                               uint32_t port);

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_THREAD_WAIT_H_
