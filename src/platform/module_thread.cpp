#include "platform/module_thread.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace qrv {

namespace {

std::atomic<size_t> runningThreads{0};

// A thread-local slot through the seam rather than thread_local: implicit TLS
// in a DLL that the host loads with LoadLibrary is unreliable on old Windows
// and under some loaders. Allocated with the first thread and non-null on
// every thread the library makes.
std::atomic<DWORD> markSlot{TLS_OUT_OF_INDEXES};

// The slot, allocated on first use; TLS_OUT_OF_INDEXES with TlsAlloc's last
// error when none can be had.
DWORD MarkSlot() {
  DWORD slot = markSlot.load(std::memory_order_acquire);
  if (slot != TLS_OUT_OF_INDEXES) return slot;
  slot = TlsAlloc();
  DWORD expected = TLS_OUT_OF_INDEXES;
  if (slot == TLS_OUT_OF_INDEXES || markSlot.compare_exchange_strong(expected, slot)) return slot;
  TlsFree(slot);  // another thread allocated one first
  return expected;
}

struct Launch {
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  HMODULE module;
};

DWORD WINAPI ModuleThreadMain(LPVOID parameter) {
  Launch launch = *static_cast<Launch*>(parameter);
  std::free(parameter);
  TlsSetValue(markSlot.load(std::memory_order_acquire), launch.module);
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
  // A library thread that could not be recognised as one would let its
  // callbacks deadlock the entry points: no mark, no thread.
  if (MarkSlot() == TLS_OUT_OF_INDEXES) return nullptr;
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

bool OnModuleThread() {
  const DWORD slot = markSlot.load(std::memory_order_acquire);
  return slot != TLS_OUT_OF_INDEXES && TlsGetValue(slot) != nullptr;
}

void ReleaseModuleThreadMarks() {
  const DWORD slot = markSlot.exchange(TLS_OUT_OF_INDEXES, std::memory_order_acq_rel);
  if (slot != TLS_OUT_OF_INDEXES) TlsFree(slot);
}

size_t RunningModuleThreads() { return runningThreads.load(std::memory_order_acquire); }

bool ThreadIsAlive(HANDLE thread) {
  return thread != nullptr && thread != INVALID_HANDLE_VALUE &&
         WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace qrv
