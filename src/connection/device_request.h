// Requests to the driver through a record that the sender can walk away
// from when the driver will not let a request go.
#ifndef QUORVEL_CONNECTION_DEVICE_REQUEST_H_
#define QUORVEL_CONNECTION_DEVICE_REQUEST_H_

#include <cstdint>

#include "platform/result.h"
#include "platform/win32.h"

namespace qrv {

// One request at a time, through a heap record (OVERLAPPED, event, input
// and small answer) that is created at the first Send and reused for every
// later one, so that a request costs no kernel object. Every request follows
// one policy: issue; wait for its completion until `stop` (null: none) is
// set or `boundMs` passes; then cancel it with CancelIoEx and wait again,
// for kCancelBoundMs; a request still not complete after that is abandoned:
// its record, event and output stay allocated for the driver to complete
// into, the line
//   "quorvel: request[0x%x] abandoned, the driver ignored its cancellation."
// is logged with the control code, and the next Send starts a new record.
// Not thread-safe: owned and used by one thread at a time.
class DeviceRequest {
 public:
  static constexpr DWORD kCancelBoundMs = 1000;
  // The largest input record; every record of the protocol fits.
  static constexpr DWORD kMaxInput = 16;

  DeviceRequest() = default;
  DeviceRequest(const DeviceRequest&) = delete;
  DeviceRequest& operator=(const DeviceRequest&) = delete;
  // Frees the record unless it was abandoned.
  ~DeviceRequest();

  // Creates the record and its event now rather than at the first Send;
  // fails with the error of creating them.
  Result Open();

  // Sends `code` with a copy of `input` and returns once the driver is done
  // with every buffer, or once the request is abandoned. An output of at
  // most 4 bytes travels through the record and is copied in before the
  // issue and back after the completion (so an answer word keeps its
  // initial value when the driver writes none); a larger output is the
  // caller's, which must leave it allocated once LeftToDriver names it.
  // The result is the driver's, ERROR_OPERATION_ABORTED for a request
  // cancelled in time, ERROR_TIMEOUT for an abandoned one, or the error of
  // creating the record's event.
  Result Send(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
              DWORD outputSize, HANDLE stop, DWORD boundMs);

  // About the last Send: the byte count of a completed request; whether the
  // driver answered it pending; whether the stop event cut its wait (the
  // wait consumed an auto-reset stop event).
  DWORD BytesReturned() const { return bytes_; }
  bool Pended() const { return pended_; }
  bool Stopped() const { return stopped_; }
  // Once a request with a caller's output has been abandoned: that output,
  // which must never be freed; null otherwise.
  const void* LeftToDriver() const { return leftToDriver_; }

 private:
  struct Record;

  Result Await(HANDLE device, DWORD code, HANDLE stop, DWORD boundMs);
  void Abandon(DWORD code);

  Record* record_ = nullptr;
  DWORD bytes_ = 0;
  bool pended_ = false;
  bool stopped_ = false;
  const void* leftToDriver_ = nullptr;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_DEVICE_REQUEST_H_
