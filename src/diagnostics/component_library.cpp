#include "diagnostics/component_library.h"

namespace qrv {

namespace {

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
    "TzCoLoadLibraryW",
};
constexpr size_t kRequiredEntries = 3;  // slots 0 to 2
constexpr const wchar_t* kModuleName = L"PXCOM.dll";

}  // namespace

ComponentLibrary::ComponentLibrary() : module_(nullptr), entries_{} {
  Bind(GetModuleHandleW(kModuleName));
  followsModule_ = module_ != nullptr;
}

void ComponentLibrary::Bind(HMODULE module) {
  if (module == nullptr) return;
  if (Resolve(module) != 0) {
    Clear();
    return;
  }
  module_ = module;
}

// An address read from a module the host has freed would be called into
// unmapped or reused memory. A handle alone does not identify a module
// across a free and a reload (a module loaded again may get the same
// handle), so the create-instance entry is looked up again and compared.
// A framework that is loaded again is re-bound rather than ignored: the host
// that reloads it wants the diagnostics back, and the lookup is the same one
// the first binding made. Only a table that was bound once does this; one
// that never found the framework keeps to the first lookup.
// The reference is taken before the comparison, so that the module
// compared is the one that stays loaded.
HMODULE ComponentLibrary::AcquireBinding() {
  if (!followsModule_) return nullptr;
  HMODULE current = nullptr;
  if (!GetModuleHandleExW(0, kModuleName, &current)) {
    Rebind(nullptr);
    return nullptr;
  }
  if (current != module_ || GetProcAddress(current, kEntryNames[kCoCreateInstanceSlot]) !=
                                entries_[kCoCreateInstanceSlot]) {
    Rebind(current);
  }
  if (module_ == current) return current;
  FreeLibrary(current);
  return nullptr;
}

void ComponentLibrary::Rebind(HMODULE module) {
  LockGuard guard(lock_);
  Clear();
  module_ = nullptr;
  Bind(module);
}

// The table never loaded the module, so it gives nothing back to it.
ComponentLibrary::~ComponentLibrary() {
  LockGuard guard(lock_);
  Clear();
  module_ = nullptr;
}

int ComponentLibrary::Resolve(HMODULE module) {
  if (module == nullptr) return -1;
  for (size_t slot = 0; slot < kEntryCount; ++slot) {
    if (kEntryNames[slot] == nullptr) continue;
    entries_[slot] = GetProcAddress(module, kEntryNames[slot]);
    if (entries_[slot] == nullptr && slot < kRequiredEntries) return -1;
  }
  return 0;
}

void ComponentLibrary::Clear() {
  for (FARPROC& entry : entries_) entry = nullptr;
}

ComponentLibrary::CoCreateInstanceEntry ComponentLibrary::CoCreateInstance() const {
  // Through the generic function type, which converts to any other.
  return reinterpret_cast<CoCreateInstanceEntry>(
      reinterpret_cast<void (*)()>(entries_[kCoCreateInstanceSlot]));
}

const char* ComponentLibrary::EntryName(size_t slot) { return kEntryNames[slot]; }

}  // namespace qrv
