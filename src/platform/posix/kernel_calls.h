// The seam's side of the kernel-call observer of device.h.
#ifndef QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_
#define QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_

namespace qrv {
namespace posix {

// Reports one call that enters the kernel on Windows to the observer, if
// one is set, on the calling thread. Thread-safe.
void NoteKernelCall(const char* function);

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_
