#include "api/dll_main.h"

#include "api/process_context.h"

// Runs under the loader lock: it waits for nothing and stops no connection.
// Threads that still run at unload hold their own reference on the module,
// so detach cannot happen under them.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) qrv::ProcessContext::Detach();
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  const qrv::Result attached = qrv::ProcessContext::Attach();
  if (attached.Succeeded()) return TRUE;
  SetLastError(attached.Error());
  return FALSE;
}
