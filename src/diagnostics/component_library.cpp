#include "diagnostics/component_library.h"

namespace qrv {

constexpr const char* kEntryNames[ComponentLibrary::kEntryCount] = {
    "TzCoCreateInstance",    "TzCoInitialize",
    "TzCoUninitialize",      "TzFreeLib",
    "TzFreeLibEx",           "TzFreeUnusedLib",
    "TzCanUnLoadAllLibNow",  "TzRegisterServer",
    "TzUnRegisterServer",    "TzRegisterServerEx",
    "TzUnRegisterServerEx",  "TzCoTaskMemAlloc",
    "TzCoTaskMemFree",       "TzCoGetMalloc",
    "TzCoGetLibraryPath",    "TzInitConfigData",
    "TzCoLoadLibrary",       nullptr,
    "TzCoProgIDFromCLSID",   "TzCoBuildVersion",
    "TzGetPropertyCLSID",    "TzSetCLSIDProperty",
    "TzCoCLSIDFromProgID",   "TzFreeLibExW",
    "TzRegisterServerW",     "TzRegisterServerExW",
    "TzUnRegisterServerExW", "TzCoGetLibraryPathW",
    "TzCoProgIDFromCLSIDW",  "TzCoCLSIDFromProgIDW",
    "TzCoLoadLibraryW"};
constexpr size_t kRequiredEntries = 3;  // slots 0 to 2
constexpr size_t kCoCreateInstanceSlot = 0;
constexpr const wchar_t* kModuleName = L"PXCOM.dll";

ComponentLibrary::ComponentLibrary() {
  Bind(GetModuleHandleW(kModuleName));
  followsModule_ = module_ != nullptr;
}

ComponentLibrary::~ComponentLibrary() { Bind(nullptr); }

void ComponentLibrary::Bind(HMODULE module) {
  LockGuard guard(lock_);
  Unbind();
  if (module == nullptr) return;
  for (size_t slot = 0; slot < kEntryCount; ++slot) {
    if (kEntryNames[slot] == nullptr) continue;
    entries_[slot] = GetProcAddress(module, kEntryNames[slot]);
    if (entries_[slot] == nullptr && slot < kRequiredEntries) {
      Unbind();
      return;
    }
  }
  module_ = module;
}

void ComponentLibrary::Unbind() {
  module_ = nullptr;
  for (FARPROC& entry : entries_) entry = nullptr;
}

// A module loaded again may reuse the freed one's handle, and an entry read
// from that one would call unmapped memory: so the entry is compared too,
// under the reference, so that the module compared is the one that stays.
HMODULE ComponentLibrary::AcquireBinding() {
  if (!followsModule_) return nullptr;
  HMODULE current = nullptr;
  if (!GetModuleHandleExW(0, kModuleName, &current)) {
    Bind(nullptr);
    return nullptr;
  }
  if (current != module_ || GetProcAddress(current, kEntryNames[kCoCreateInstanceSlot]) !=
                                entries_[kCoCreateInstanceSlot]) {
    Bind(current);
  }
  if (module_ == current) return current;
  FreeLibrary(current);
  return nullptr;
}

ComponentLibrary::CoCreateInstanceEntry ComponentLibrary::CoCreateInstance() const {
  // Through the generic function type, which converts to any other.
  return reinterpret_cast<CoCreateInstanceEntry>(
      reinterpret_cast<void (*)()>(entries_[kCoCreateInstanceSlot]));
}

}  // namespace qrv
