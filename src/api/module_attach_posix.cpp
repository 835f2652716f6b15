// On POSIX the shared object's constructor and destructor play the loader's
// attach and detach calls.
#include <cstdio>
#include <cstdlib>

#include "api/dll_main.h"
#include "platform/module_thread.h"

namespace {

// A shared object cannot refuse its load: a failed attach ends the process
// with its reason, as Windows ends one whose start-up module fails to attach.
__attribute__((constructor)) void AttachModule() {
  if (DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) return;
  std::fprintf(stderr, "quorvel: module attach failed, error %u\n", GetLastError());
  std::abort();
}

// Also runs at process exit, where library threads may still serve (an
// unload waits for them); closing the device would wake them into a process
// that is tearing down, so everything is left alone then.
__attribute__((destructor)) void DetachModule() {
  if (qrv::RunningModuleThreads() != 0) return;
  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
}

}  // namespace
