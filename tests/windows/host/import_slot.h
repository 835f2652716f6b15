// The import address table of a loaded module, as the scenarios patch it to
// put a stand-in between the library and a system function.
#ifndef QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_
#define QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_

#include <windows.h>

#include <string>

namespace qrv {
namespace wintest {

// Points `module`'s import of `name`, from whichever DLL it is imported, at
// `replacement`, storing what the slot held in *original first (a thread can
// reach the replacement only through the slot). Idempotent. False, with the
// reason, when the module imports no such name or the slot cannot be
// written.
bool PatchImport(HMODULE module, const char* name, void* replacement, void** original,
                 std::string* reason);

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_
