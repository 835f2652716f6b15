/* The entry point of a DLL built with the MSVC ABI against msvcrt.dll: it
 * runs the module's C++ static initializers when the DLL attaches, then its
 * DllMain if it has one. Static destructors would be registered with the
 * process's atexit list and run at process exit, after a FreeLibrary could
 * have unmapped them: such DLLs keep no static objects with destructors. */
#include <windows.h>

#include "crt_sections.h"

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

/* A DLL without a DllMain of its own gets this one: the linker takes an
 * alternate name only for a symbol nothing defines. */
BOOL WINAPI QrvDefaultDllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return TRUE;
}
#pragma comment(linker, "/alternatename:_DllMain@12=_QrvDefaultDllMain@12")

BOOL WINAPI _DllMainCRTStartup(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) RunStaticInitializers();
  return DllMain(module, reason, reserved);
}
