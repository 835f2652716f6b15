#include "host/strict_handles.h"

#include "host/import_slot.h"

namespace qrv {
namespace wintest {
namespace {

LONG invalidUses = 0;

using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
using WaitOneFn = DWORD(WINAPI*)(HANDLE, DWORD);
using WaitManyFn = DWORD(WINAPI*)(DWORD, const HANDLE*, BOOL, DWORD);

CloseHandleFn realCloseHandle = nullptr;
CloseHandleFn realSetEvent = nullptr;
WaitOneFn realWaitOne = nullptr;
WaitManyFn realWaitMany = nullptr;

// INVALID_HANDLE_VALUE is also the current process's pseudo-handle, which a
// wait may name legitimately; only a null handle is invalid everywhere.
void Check(HANDLE handle, bool pseudoAllowed) {
  if (handle == nullptr || (!pseudoAllowed && handle == INVALID_HANDLE_VALUE)) {
    InterlockedIncrement(&invalidUses);
  }
}

BOOL WINAPI StrictCloseHandle(HANDLE handle) {
  Check(handle, false);
  return realCloseHandle(handle);
}

BOOL WINAPI StrictSetEvent(HANDLE handle) {
  Check(handle, false);
  return realSetEvent(handle);
}

DWORD WINAPI StrictWaitOne(HANDLE handle, DWORD ms) {
  Check(handle, true);
  return realWaitOne(handle, ms);
}

DWORD WINAPI StrictWaitMany(DWORD count, const HANDLE* handles, BOOL all, DWORD ms) {
  for (DWORD i = 0; i < count && handles != nullptr; ++i) Check(handles[i], true);
  return realWaitMany(count, handles, all, ms);
}

template <typename Function>
bool Replace(HMODULE module, const char* name, Function wrapper, Function* real,
             std::string* reason) {
  void** slot = ImportSlot(module, name);
  if (slot == nullptr) {
    *reason = std::string("the module imports no ") + name;
    return false;
  }
  // Once per process: the slot may hold another counter's wrapper by now.
  if (*real != nullptr) return true;
  // Set before the slot: a thread can reach the wrapper only through it.
  *real = reinterpret_cast<Function>(*slot);
  return WriteImportSlot(slot, reinterpret_cast<void*>(wrapper), reason);
}

}  // namespace

bool UseStrictHandleChecks(HMODULE module, std::string* reason) {
  return Replace(module, "CloseHandle", &StrictCloseHandle, &realCloseHandle, reason) &&
         Replace(module, "SetEvent", &StrictSetEvent, &realSetEvent, reason) &&
         Replace(module, "WaitForSingleObject", &StrictWaitOne, &realWaitOne, reason) &&
         Replace(module, "WaitForMultipleObjects", &StrictWaitMany, &realWaitMany, reason);
}

LONG InvalidHandleUses() { return InterlockedCompareExchange(&invalidUses, 0, 0); }

}  // namespace wintest
}  // namespace qrv
