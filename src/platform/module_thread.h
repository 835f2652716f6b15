// Threads that keep the library mapped while they run.
#ifndef QUORVEL_PLATFORM_MODULE_THREAD_H_
#define QUORVEL_PLATFORM_MODULE_THREAD_H_

#include "platform/win32.h"

namespace qrv {

// CreateThread for a thread that holds a reference on this module until it
// has left its start routine, so that an unload never unmaps code a thread
// still runs; the thread carries kLibraryThread while the routine runs.
// Null, with the failing call's last error, on failure.
HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);

// Threads made by CreateModuleThread that have not yet left their start
// routine: zero at unload means none can still touch the library's objects.
size_t RunningModuleThreads();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_MODULE_THREAD_H_
