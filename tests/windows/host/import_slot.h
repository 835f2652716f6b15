// The import address table of a loaded module, for the scenarios that put
// wrappers between the library and the system calls it imports.
#ifndef QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_
#define QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_

#include <windows.h>

#include <string>

namespace qrv {
namespace wintest {

// The import address table entry through which `module` calls `name`, or
// null when it imports no such name.
void** ImportSlot(HMODULE module, const char* name);

// Points `slot` at `target`; false, with the reason, when the page cannot be
// written.
bool WriteImportSlot(void** slot, void* target, std::string* reason);

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_IMPORT_SLOT_H_
