// Threads that keep the library mapped while they run.
#ifndef QUORVEL_PLATFORM_MODULE_THREAD_H_
#define QUORVEL_PLATFORM_MODULE_THREAD_H_

#include "platform/win32.h"

namespace qrv {

// Creates a running thread like CreateThread, except that the thread holds a
// reference on the module that contains this code for as long as it runs and
// gives it back only as it exits. A host that unloads the library while
// connections still run therefore never leaves a thread executing unmapped
// code; the module goes away when the last such thread ends. The thread is
// marked as the library's own (kLibraryThread) before its start routine runs.
// Returns null and keeps the failing call's last error on failure.
HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);

// How many threads made by CreateModuleThread have not yet finished their
// start routine. Zero at unload means no thread of the library can still
// touch its objects.
size_t RunningModuleThreads();

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_MODULE_THREAD_H_
