#include "api/dll_main.h"

#include "api/process_state.h"

// Runs under the loader lock: it waits for nothing and stops no connection.
// Threads that still run at unload hold their own reference on the module,
// so detach cannot happen under them.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      SetDeviceHandle(INVALID_HANDLE_VALUE);
      InitializeCriticalSection(ProcessLock());
      break;
    case DLL_PROCESS_DETACH:
      if (DeviceHandle() != INVALID_HANDLE_VALUE) {
        CloseHandle(DeviceHandle());
        SetDeviceHandle(INVALID_HANDLE_VALUE);
      }
      DeleteCriticalSection(ProcessLock());
      break;
    default:
      break;
  }
  return TRUE;
}
