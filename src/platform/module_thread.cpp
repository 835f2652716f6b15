#include "platform/module_thread.h"

#include <atomic>

#include "platform/block_heap.h"
#include "platform/thread_mark.h"

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
  DeleteOnHeap(BlockHeap::Process(), static_cast<Launch*>(parameter));
  DWORD exitCode;
  {
    ScopedThreadMark mark(kLibraryThread);
    exitCode = launch.start(launch.parameter);
  }
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
  DeleteOnHeap(BlockHeap::Process(), launch);
  SetLastError(error);
}

}  // namespace

HANDLE CreateModuleThread(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&ModuleThreadMain), &module)) {
    return nullptr;
  }
  auto* launch = NewOnHeap<Launch>(BlockHeap::Process(), Launch{start, parameter, module});
  if (launch == nullptr) {
    FreeLibrary(module);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  runningThreads.fetch_add(1, std::memory_order_relaxed);
  HANDLE thread = CreateThread(nullptr, 0, ModuleThreadMain, launch, 0, nullptr);
  if (thread == nullptr) AbandonLaunch(launch);
  return thread;
}

size_t RunningModuleThreads() { return runningThreads.load(std::memory_order_acquire); }

}  // namespace qrv
