// The module's attach and detach hook.
#ifndef QUORVEL_API_DLL_MAIN_H_
#define QUORVEL_API_DLL_MAIN_H_

#include "platform/win32.h"

// Attach creates the process context (device closed, lock created); detach
// releases it (see ProcessContext::Detach). Reads only the reason code;
// always returns TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

#endif  // QUORVEL_API_DLL_MAIN_H_
