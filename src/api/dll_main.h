// The module's attach and detach hook.
#ifndef QUORVEL_API_DLL_MAIN_H_
#define QUORVEL_API_DLL_MAIN_H_

#include "platform/win32.h"

// Attach marks the device closed and creates the process-wide lock; detach
// closes the device if it is still open and deletes the lock. Reads only the
// reason code; always returns TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

#endif  // QUORVEL_API_DLL_MAIN_H_
