// On POSIX the shared object's constructor and destructor play the loader's
// attach and detach calls.
#include "api/dll_main.h"

namespace {

__attribute__((constructor)) void AttachModule() { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); }

__attribute__((destructor)) void DetachModule() { DllMain(nullptr, DLL_PROCESS_DETACH, nullptr); }

}  // namespace
