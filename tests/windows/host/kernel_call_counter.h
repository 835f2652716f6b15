// Counts the kernel transitions QUORVEL.DLL makes, by thread: its import
// slots of the kernel32 functions that enter the kernel are pointed at
// wrappers that note the call and then make it. GetOverlappedResult counts
// only when it must wait (on Windows it reads a finished record in user
// mode).
#ifndef QRV_TESTS_WINDOWS_HOST_KERNEL_CALL_COUNTER_H_
#define QRV_TESTS_WINDOWS_HOST_KERNEL_CALL_COUNTER_H_

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace qrv {
namespace wintest {

// Patches the module's slots of those it imports; false, with the reason,
// when it imports no DeviceIoControl or a slot cannot be written. Counting
// starts at once.
bool CountKernelCalls(HMODULE module, std::string* reason);
// Notes a mark (such as "callback") in the same record, on the calling
// thread.
void NoteKernelCall(const char* name);
// Every call and mark so far, as (thread id, name), in order.
std::vector<std::pair<DWORD, std::string>> KernelCalls();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_KERNEL_CALL_COUNTER_H_
