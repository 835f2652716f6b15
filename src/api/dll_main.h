// The module's attach and detach hook.
#ifndef QUORVEL_API_DLL_MAIN_H_
#define QUORVEL_API_DLL_MAIN_H_

#include "platform/win32.h"

// Attach makes the process context, detach releases it (ProcessContext).
// Reads only the reason code. FALSE, with the reason as the last error, only
// when the attach fails.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

#endif  // QUORVEL_API_DLL_MAIN_H_
