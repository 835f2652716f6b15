#include "host/native_unwind.h"

#include <cstdint>
#include <cstring>

extern "C" {
// native_unwind_thunk.S: the wrapper, and the real RtlUnwind it calls.
void __stdcall qrv_clearing_rtl_unwind(void* target, void* ip, EXCEPTION_RECORD* record,
                                       void* value);
extern void* qrv_real_rtl_unwind;
}

namespace qrv {
namespace wintest {
namespace {

template <typename T>
T* At(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<uint8_t*>(module) + rva);
}

}  // namespace

// Walks the import directory by the name tables, which the loader leaves
// intact while it overwrites the address tables.
void** ImportSlot(HMODULE module, const char* name) {
  const auto* nt = At<IMAGE_NT_HEADERS32>(module, At<IMAGE_DOS_HEADER>(module, 0)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return nullptr;
  for (auto* dll = At<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); dll->Name != 0;
       ++dll) {
    if (dll->OriginalFirstThunk == 0) continue;
    auto* names = At<IMAGE_THUNK_DATA32>(module, dll->OriginalFirstThunk);
    auto* slots = At<void*>(module, dll->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
      const auto* byName = At<IMAGE_IMPORT_BY_NAME>(module, names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) == 0) return slots;
    }
  }
  return nullptr;
}

bool UseNativeLikeRtlUnwind(HMODULE module, std::string* reason) {
  void** slot = ImportSlot(module, "RtlUnwind");
  if (slot == nullptr) {
    *reason = "the module imports no RtlUnwind";
    return false;
  }
  void* wrapper = reinterpret_cast<void*>(&qrv_clearing_rtl_unwind);
  if (*slot == wrapper) return true;
  // Set before the slot: a thread can reach the wrapper only through it.
  qrv_real_rtl_unwind = *slot;
  return ReplaceImportSlot(slot, wrapper, reason);
}

bool ReplaceImportSlot(void** slot, void* replacement, std::string* reason) {
  DWORD previous = 0;
  if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &previous)) {
    *reason = "VirtualProtect failed with error " + std::to_string(GetLastError());
    return false;
  }
  InterlockedExchangePointer(slot, replacement);
  VirtualProtect(slot, sizeof(*slot), previous, &previous);
  return true;
}

}  // namespace wintest
}  // namespace qrv
