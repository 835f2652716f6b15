// Windows' own x86 RtlUnwind returns with EBX, ESI and EDI cleared (it
// resumes through a context it captured); Wine's preserves them. The
// scenarios run the library against the harsher behaviour: its import of
// RtlUnwind is pointed at a wrapper that calls the real one and then clears
// the three registers.
#ifndef QRV_TESTS_WINDOWS_HOST_NATIVE_UNWIND_H_
#define QRV_TESTS_WINDOWS_HOST_NATIVE_UNWIND_H_

#include <windows.h>

#include <string>

namespace qrv {
namespace wintest {

// The import address table entry through which `module` calls `name`, or
// null.
void** ImportSlot(HMODULE module, const char* name);
// Points an import slot at `replacement`; false, with the reason, when the
// slot cannot be written.
bool ReplaceImportSlot(void** slot, void* replacement, std::string* reason);

// Replaces `module`'s import slot of RtlUnwind, from whichever system DLL it
// is imported, with the clearing wrapper. Idempotent. False, with the reason,
// when the module imports no RtlUnwind or the slot cannot be written.
bool UseNativeLikeRtlUnwind(HMODULE module, std::string* reason);

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_NATIVE_UNWIND_H_
