// The wait with which a stop awaits its connection's threads.
#ifndef QUORVEL_CONNECTION_THREAD_WAIT_H_
#define QUORVEL_CONNECTION_THREAD_WAIT_H_

#include <cstdint>

#include "platform/win32.h"

namespace qrv {

// How long a stop waits for a connection's threads before it says so in the
// log. Fixed: the line is for the field, where a callback that never returns
// holds the stop (and the process-wide lock) without limit.
constexpr DWORD kStuckThreadReportMs = 5000;

// Waits without a time limit for all `count` threads to end and returns what
// WaitForMultipleObjects returns for that wait (WAIT_OBJECT_0 once they
// have; WAIT_FAILED at once for a count of 0 or a bad handle). When the
// threads are still running after kStuckThreadReportMs, logs once
//   "quorvel: still waiting for service[S] port[P] thread id[T1, T2] after 5 s."
// naming, in decimal, the ids of the threads not yet ended, and waits on.
DWORD WaitForConnectionThreads(const HANDLE* threads, DWORD count, uint32_t serviceId,
                               uint32_t port);

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_THREAD_WAIT_H_
