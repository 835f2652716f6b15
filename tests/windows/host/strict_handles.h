// Strict handle checking for QUORVEL.DLL under Wine: what Application
// Verifier or the strict-handle-check mitigation would raise on Windows is
// counted instead.
#ifndef QRV_TESTS_WINDOWS_HOST_STRICT_HANDLES_H_
#define QRV_TESTS_WINDOWS_HOST_STRICT_HANDLES_H_

#include <windows.h>

#include <string>

namespace qrv {
namespace wintest {

// Points `module`'s imports of CloseHandle, SetEvent, WaitForSingleObject
// and WaitForMultipleObjects at wrappers that count every call given a null
// handle (or, except for a wait, INVALID_HANDLE_VALUE) before calling the
// real function. False, with the reason, when a slot cannot be replaced.
bool UseStrictHandleChecks(HMODULE module, std::string* reason);

// The calls counted so far, in the whole process.
LONG InvalidHandleUses();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_STRICT_HANDLES_H_
