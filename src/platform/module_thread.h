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
// marked as the library's own (OnModuleThread) before its start routine runs.
// Returns null and keeps the failing call's last error on failure.
HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE start, LPVOID parameter);

// True on a thread made by CreateModuleThread: a call from it comes from
// inside the library (a service callback, a log sink), never from a host
// thread of its own. Takes no lock.
bool OnModuleThread();

// Gives back the slot that marks the library's threads. REQUIRES: no thread
// made by CreateModuleThread runs (the module is being unloaded).
void ReleaseModuleThreadMarks();

// How many threads made by CreateModuleThread have not yet finished their
// start routine. Zero at unload means no thread of the library can still
// touch its objects.
size_t RunningModuleThreads();

// True while the thread behind an open thread handle has not ended; false
// for null or INVALID_HANDLE_VALUE. Does not wait.
bool ThreadIsAlive(HANDLE thread);

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_MODULE_THREAD_H_
