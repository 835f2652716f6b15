#include "connection/sync_request.h"

namespace qrv {

// A failed wait (a stop event closed under it) is taken as the bound having
// passed: the request is cancelled rather than left with the driver.
RequestResult AwaitPending(HANDLE device, OVERLAPPED* overlapped, HANDLE stop, DWORD boundMs,
                           DWORD* returned) {
  const HANDLE handles[2] = {overlapped->hEvent, stop};
  const DWORD signalled = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, boundMs);
  RequestCut cut = RequestCut::kNone;
  if (signalled == WAIT_OBJECT_0 + 1) {
    cut = RequestCut::kStopped;
  } else if (signalled != WAIT_OBJECT_0) {
    cut = RequestCut::kTimedOut;
  }
  if (cut != RequestCut::kNone) CancelIoEx(device, overlapped);
  *returned = 0;
  const bool succeeded = GetOverlappedResult(device, overlapped, returned, TRUE) != FALSE;
  return {succeeded, cut};
}

// Manual-reset: every issue resets it, and a completion seen by the wait
// stays visible to GetOverlappedResult.
bool SyncRequest::Open() {
  event_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  return event_.IsOpen();
}

// The record starts from zero for every request: a stale status must not
// pass for this request's, and the offsets mean nothing to a device.
RequestResult SyncRequest::Send(HANDLE device, DWORD code, const void* input, DWORD inputSize,
                                void* output, DWORD outputSize, HANDLE stop, DWORD boundMs) {
  if (!event_.IsOpen()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return {false, RequestCut::kNone};
  }
  overlapped_ = {};
  overlapped_.hEvent = event_.Get();
  DWORD returned = 0;
  if (DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                      &returned, &overlapped_)) {
    return {true, RequestCut::kNone};
  }
  if (GetLastError() != ERROR_IO_PENDING) return {false, RequestCut::kNone};
  return AwaitPending(device, &overlapped_, stop, boundMs, &returned);
}

}  // namespace qrv
