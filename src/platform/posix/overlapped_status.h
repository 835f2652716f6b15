// How a completion is published through an OVERLAPPED record.
#ifndef QUORVEL_PLATFORM_POSIX_OVERLAPPED_STATUS_H_
#define QUORVEL_PLATFORM_POSIX_OVERLAPPED_STATUS_H_

#include "platform/posix/device.h"

namespace qrv {
namespace posix {

// Internal is written last, with release ordering, because a caller may poll
// it without waiting for the event; whoever reads a final status through
// LoadStatus then sees the InternalHigh and buffer contents written before.
inline void PublishStatus(OVERLAPPED* overlapped, NTSTATUS status) {
  __atomic_store_n(&overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                   __ATOMIC_RELEASE);
}

inline NTSTATUS LoadStatus(const OVERLAPPED* overlapped) {
  return static_cast<NTSTATUS>(
      static_cast<ULONG>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
}

// The value a completed call returns: TRUE for success and informational
// statuses, otherwise FALSE with the status's Win32 error.
inline BOOL CompletionResult(NTSTATUS status) {
  if (status >= 0) return TRUE;
  SetLastError(Win32ErrorFromStatus(status));
  return FALSE;
}

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_OVERLAPPED_STATUS_H_
