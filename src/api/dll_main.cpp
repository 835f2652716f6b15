#include "api/dll_main.h"

#include "api/process_context.h"

// Runs under the loader lock, so it waits for nothing and stops no
// connection; a library thread holds a reference on the module until it ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) qrv::ProcessContext::Detach();
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  const qrv::Result attached = qrv::ProcessContext::Attach();
  if (attached.Succeeded()) return TRUE;
  SetLastError(attached.Error());
  return FALSE;
}
