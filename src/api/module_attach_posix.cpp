// On POSIX the shared object's constructor and destructor play the loader's
// attach and detach calls.
#include "api/dll_main.h"
#include "platform/module_thread.h"

namespace {

__attribute__((constructor)) void AttachModule() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }

// A real unload happens only once every library thread has ended (each holds
// a reference on the module). The destructor also runs at process exit,
// where threads may still serve: closing the device would wake them into a
// process that is tearing down, so the device and the lock are left alone.
__attribute__((destructor)) void DetachModule() {
  if (qrv::RunningModuleThreads() != 0) return;
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
