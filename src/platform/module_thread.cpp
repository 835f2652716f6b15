#include "platform/module_thread.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace qrv {

namespace {

std::atomic<size_t> runningThreads{0};

struct Launch {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  HMODULE module;
};

DWORD WINAPI ModuleThreadMain(LPVOID parameter) {
  Launch launch = *static_cast<Launch*>(parameter);
  std::free(parameter);
  DWORD exitCode = launch.start(launch.parameter);
  runningThreads.fetch_sub(1, std::memory_order_release);
  // The reference must be dropped by code outside this module: a plain
  // FreeLibrary here could unmap the instructions that follow it.
  FreeLibraryAndExitThread(launch.module, exitCode);
}

// Undoes the launch after CreateThread failed, keeping its last error.
void AbandonLaunch(Launch* launch) {
  DWORD error = GetLastError();
  runningThreads.fetch_sub(1, std::memory_order_release);
  FreeLibrary(launch->module);
  std::free(launch);
  SetLastError(error);
}

}  // namespace

HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ModuleThreadMain), &module)) {
    return nullptr;
  }
  // Straight from the heap, not new (std::nothrow), which the toolchain's
  // runtime implements by throwing and catching bad_alloc: a throw inside
  // this module terminates a host that has the runtime's shared copy
  // (libgcc_s_dw2-1.dll) loaded, since the module's unwind tables were
  // registered with that copy.
  void* memory = std::malloc(sizeof(Launch));
  if (memory == nullptr) {
    FreeLibrary(module);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* launch = new (memory) Launch{start, parameter, module};
  runningThreads.fetch_add(1, std::memory_order_relaxed);
  HANDLE thread = CreateThread(nullptr, 0, ModuleThreadMain, launch, 0, nullptr);
  if (thread == nullptr) AbandonLaunch(launch);
  return thread;
}

size_t RunningModuleThreads() { return runningThreads.load(std::memory_order_acquire); }

bool ThreadIsAlive(HANDLE thread) {
  return thread != nullptr && thread != INVALID_HANDLE_VALUE &&
         WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace qrv
