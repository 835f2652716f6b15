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
  return PatchImport(module, "RtlUnwind", reinterpret_cast<void*>(&qrv_clearing_rtl_unwind),
                     &qrv_real_rtl_unwind, reason);
}

}  // namespace wintest
}  // namespace qrv
