#include "host/kernel_call_counter.h"

#include "host/import_slot.h"
#include "host/sync.h"

namespace qrv {
namespace wintest {
namespace {

constexpr ULONG_PTR kStatusPending = 0x103;

Lock g_lock;
std::vector<std::pair<DWORD, std::string>> g_calls;  // guarded by g_lock

// The real functions, set before their slot points at the wrapper.
decltype(&CreateEventW) g_createEvent;
decltype(&CloseHandle) g_closeHandle;
decltype(&DeviceIoControl) g_deviceIoControl;
decltype(&WaitForSingleObject) g_waitOne;
decltype(&WaitForMultipleObjects) g_waitMany;
decltype(&GetOverlappedResult) g_overlappedResult;
decltype(&SetEvent) g_setEvent;
decltype(&CancelIoEx) g_cancelIoEx;

// Keeps the caller's last error: the wrapped call must see and set its own.
void Note(const char* name) {
  const DWORD error = GetLastError();
  NoteKernelCall(name);
  SetLastError(error);
}

HANDLE WINAPI CreateEventCounted(LPSECURITY_ATTRIBUTES a, BOOL m, BOOL i, LPCWSTR n) {
  Note("CreateEventW");
  return g_createEvent(a, m, i, n);
}
BOOL WINAPI CloseHandleCounted(HANDLE h) {
  Note("CloseHandle");
  return g_closeHandle(h);
}
BOOL WINAPI DeviceIoControlCounted(HANDLE h, DWORD c, LPVOID i, DWORD is, LPVOID o, DWORD os,
                                   LPDWORD r, LPOVERLAPPED ov) {
  Note("DeviceIoControl");
  return g_deviceIoControl(h, c, i, is, o, os, r, ov);
}
DWORD WINAPI WaitOneCounted(HANDLE h, DWORD ms) {
  Note("WaitForSingleObject");
  return g_waitOne(h, ms);
}
DWORD WINAPI WaitManyCounted(DWORD n, const HANDLE* h, BOOL all, DWORD ms) {
  Note("WaitForMultipleObjects");
  return g_waitMany(n, h, all, ms);
}
BOOL WINAPI OverlappedResultCounted(HANDLE h, LPOVERLAPPED ov, LPDWORD n, BOOL wait) {
  if (wait && ov != nullptr && ov->Internal == kStatusPending) Note("GetOverlappedResult");
  return g_overlappedResult(h, ov, n, wait);
}
BOOL WINAPI SetEventCounted(HANDLE h) {
  Note("SetEvent");
  return g_setEvent(h);
}
BOOL WINAPI CancelIoExCounted(HANDLE h, LPOVERLAPPED ov) {
  Note("CancelIoEx");
  return g_cancelIoEx(h, ov);
}

template <typename Function>
bool Patch(HMODULE module, const char* name, Function* real, Function wrapper,
           std::string* reason) {
  void** slot = ImportSlot(module, name);
  if (slot == nullptr) return true;   // a function it never calls costs nothing
  if (*real != nullptr) return true;  // once per process, as the strict checks
  *real = reinterpret_cast<Function>(*slot);
  return WriteImportSlot(slot, reinterpret_cast<void*>(wrapper), reason);
}

}  // namespace

bool CountKernelCalls(HMODULE module, std::string* reason) {
  if (ImportSlot(module, "DeviceIoControl") == nullptr) {
    *reason = "the module imports no DeviceIoControl";
    return false;
  }
  return Patch(module, "CreateEventW", &g_createEvent, &CreateEventCounted, reason) &&
         Patch(module, "CloseHandle", &g_closeHandle, &CloseHandleCounted, reason) &&
         Patch(module, "DeviceIoControl", &g_deviceIoControl, &DeviceIoControlCounted, reason) &&
         Patch(module, "WaitForSingleObject", &g_waitOne, &WaitOneCounted, reason) &&
         Patch(module, "WaitForMultipleObjects", &g_waitMany, &WaitManyCounted, reason) &&
         Patch(module, "GetOverlappedResult", &g_overlappedResult, &OverlappedResultCounted,
               reason) &&
         Patch(module, "SetEvent", &g_setEvent, &SetEventCounted, reason) &&
         Patch(module, "CancelIoEx", &g_cancelIoEx, &CancelIoExCounted, reason);
}

void NoteKernelCall(const char* name) {
  Hold hold(g_lock);
  g_calls.emplace_back(GetCurrentThreadId(), name);
}

std::vector<std::pair<DWORD, std::string>> KernelCalls() {
  Hold hold(g_lock);
  return g_calls;
}

}  // namespace wintest
}  // namespace qrv
