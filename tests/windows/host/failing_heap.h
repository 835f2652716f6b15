// A C runtime heap that fails on demand, put between QUORVEL.DLL and
// msvcrt.dll's malloc, calloc and realloc through the library's import
// slots, so that a scenario can make any one of the library's allocations
// fail, on whichever thread it happens.
#ifndef QRV_TESTS_WINDOWS_HOST_FAILING_HEAP_H_
#define QRV_TESTS_WINDOWS_HOST_FAILING_HEAP_H_

#include <windows.h>

#include <string>

namespace qrv {
namespace wintest {

// Routes `module`'s heap calls through the failing heap. Idempotent. False,
// with the reason, when an import cannot be patched.
bool InstallFailingHeap(HMODULE module, std::string* reason);

// Makes the nth heap call from now on (counted across all threads) return
// null, and only that one; 0 makes none fail.
void FailNthAllocation(int n);
// Stops failing; true when the armed call was reached and failed.
bool StopFailingAllocations();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_FAILING_HEAP_H_
