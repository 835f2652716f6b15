// The seam's side of the kernel-call observer of device.h.
#ifndef QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_
#define QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_

namespace qrv {
namespace posix {

// Marks one call that enters the kernel on Windows for its duration: the
// outermost such call on a thread is reported to the observer, if one is
// set; the seam's calls inside it (an event a request resets or sets, the
// wait inside GetOverlappedResult) belong to the same transition. A null
// name marks a call that stays in user mode, with everything inside it.
class KernelCall {
 public:
  explicit KernelCall(const char* function);
  KernelCall(const KernelCall&) = delete;
  KernelCall& operator=(const KernelCall&) = delete;
  ~KernelCall();
};

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_KERNEL_CALLS_H_
