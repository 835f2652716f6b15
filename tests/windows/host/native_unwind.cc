#include "host/native_unwind.h"

#include "host/import_slot.h"

extern "C" {
// native_unwind_thunk.S: the wrapper, and the real RtlUnwind it calls.
void __stdcall qrv_clearing_rtl_unwind(void* target, void* ip, EXCEPTION_RECORD* record,
                                       void* value);
extern void* qrv_real_rtl_unwind;
}

namespace qrv {
namespace wintest {
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
  return WriteImportSlot(slot, wrapper, reason);
}

}  // namespace wintest
}  // namespace qrv
