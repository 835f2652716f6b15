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

// Guarded by the process-wide lock.
StaticObject<ComponentLibrary> table;
bool tableDestroyed = false;

}  // namespace

ComponentLibrary* ComponentLibrary::Instance() {
  if (table.Get() == nullptr && !tableDestroyed) table.Create();
  return table.Get();
}

void ComponentLibrary::DestroyInstance() {
  table.Destroy();
  tableDestroyed = true;
}

ComponentLibrary::ComponentLibrary() {
  Bind(GetModuleHandleW(kModuleName));
  followsModule_ = module_ != nullptr;
}

// A module that lacks a required entry leaves the table unbound, all null.
void ComponentLibrary::Bind(HMODULE module) {
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

// An address read from a module the host has freed would be called into
// unmapped or reused memory, and a module loaded again may get the same
// handle: so the create-instance entry is looked up again and compared. The
// reference is taken first, so that the module compared is the one that
// stays loaded.
HMODULE ComponentLibrary::AcquireBinding() {
  if (!followsModule_) return nullptr;
  HMODULE current = nullptr;
  if (!GetModuleHandleExW(0, kModuleName, &current)) {
    Unbind();
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
