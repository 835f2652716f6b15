// Synchronous requests to the driver through a record that the sending
// thread owns for its whole life, so that a request costs no kernel object.
#ifndef QUORVEL_CONNECTION_SYNC_REQUEST_H_
#define QUORVEL_CONNECTION_SYNC_REQUEST_H_

#include "platform/owned_handle.h"
#include "platform/win32.h"

namespace qrv {

// Why the wait for a pending answer ended early, cancelling the request.
enum class RequestCut { kNone, kStopped, kTimedOut };

struct RequestResult {
  bool succeeded;  // the driver finished the request successfully
  RequestCut cut;
};

// Waits for the request in flight on `overlapped`, whose event its
// completion sets, until it completes, `stop` (null: none) is set, or
// `boundMs` passes. A wait cut short cancels that one request with
// CancelIoEx and still awaits its completion, so that the driver never
// touches the request's buffers after the return. The final status decides
// `succeeded` (a request finished just before its cancel succeeds), and the
// last error tells why one failed (ERROR_OPERATION_ABORTED when cancelled).
// Writes the byte count to *returned.
RequestResult AwaitPending(HANDLE device, OVERLAPPED* overlapped, HANDLE stop, DWORD boundMs,
                           DWORD* returned);

// One OVERLAPPED and its event, reused for every request a thread sends.
// Not thread-safe: one request at a time, from its owning thread.
class SyncRequest {
 public:
  SyncRequest() = default;
  SyncRequest(const SyncRequest&) = delete;
  SyncRequest& operator=(const SyncRequest&) = delete;
  ~SyncRequest() = default;

  // Creates the event; false, with the last error, when it cannot.
  bool Open();

  // Sends one request and returns once the driver is done with its buffers:
  // at once when it answers at once, otherwise as AwaitPending. Fails with
  // ERROR_INVALID_HANDLE when the record is not open.
  RequestResult Send(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
                     DWORD outputSize, HANDLE stop, DWORD boundMs);

 private:
  OwnedHandle event_;
  OVERLAPPED overlapped_ = {};
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_SYNC_REQUEST_H_
