// A host that catches every exception around a call into the library, as an
// MSVC-built host's catch (...) or __except does: an exception that leaves
// the library unwinds the library's frames on its way to the host.
#ifndef QRV_TESTS_WINDOWS_HOST_HOST_CATCH_H_
#define QRV_TESTS_WINDOWS_HOST_HOST_CATCH_H_

#include <windows.h>

#include <functional>

namespace qrv {
namespace wintest {

// Runs `call`. Returns 0 when it returned, or the code of the structured
// exception that left it, after unwinding every frame above this one.
DWORD CallCatchingAll(const std::function<void()>& call);

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_HOST_CATCH_H_
