// The library's process-wide state: the control device handle and the lock
// that serialises the entry points with one another and with the echo
// thread's teardown of the service connections.
#ifndef QUORVEL_API_PROCESS_STATE_H_
#define QUORVEL_API_PROCESS_STATE_H_

#include "platform/win32.h"

// The open control device, or INVALID_HANDLE_VALUE (never null) when the
// library is not initialised. REQUIRES: the process-wide lock is held, except
// at module attach and detach.
HANDLE DeviceHandle();
void SetDeviceHandle(HANDLE device);

// Created at module attach, deleted at module detach.
CRITICAL_SECTION* ProcessLock();

#endif  // QUORVEL_API_PROCESS_STATE_H_
