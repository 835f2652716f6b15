#include "platform/posix/kernel_calls.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/overlapped_status.h"

using qrv::posix::Fail;
using qrv::posix::LoadStatus;

BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped, LPDWORD bytesTransferred,
                         BOOL wait) {
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  // Reading a finished record stays in user mode on Windows.
  const bool must_wait = wait && LoadStatus(overlapped) == qrv::posix::kStatusPending;
  const qrv::posix::KernelCall call(must_wait ? "GetOverlappedResult" : nullptr);
  // The event may be shared with other requests, or be auto-reset and set by
  // an earlier completion: a set event proves nothing, Internal decides.
  while (LoadStatus(overlapped) == qrv::posix::kStatusPending) {
    if (!wait) return Fail(ERROR_IO_INCOMPLETE, FALSE);
    HANDLE waitable = overlapped->hEvent != nullptr ? overlapped->hEvent : device;
    if (WaitForSingleObject(waitable, INFINITE) == WAIT_FAILED) return FALSE;
  }
  const qrv::posix::NTSTATUS status = LoadStatus(overlapped);
  if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
  return qrv::posix::CompletionResult(status);
}
