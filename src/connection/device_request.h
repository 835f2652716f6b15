// Requests to the driver that the sender can walk away from when the driver
// will not let one go.
#ifndef QUORVEL_CONNECTION_DEVICE_REQUEST_H_
#define QUORVEL_CONNECTION_DEVICE_REQUEST_H_

#include "platform/result.h"

namespace qrv {

// One request at a time through one heap record (OVERLAPPED, event, input,
// small output), created once and reused, so a request costs no kernel
// object. The policy: issue; wait until the request completes, `stop` (null:
// none) is set or `boundMs` passes; cancel it (CancelIoEx) and wait
// kCancelBoundMs more; if still pending, abandon it: the record, its event
// and the output stay allocated for the driver, the line
//   "quorvel: request abandoned, the driver ignored its cancellation; control code "
// followed by the code in hexadecimal (format "%s%x"), and the next Send
// makes a new record. Used by one thread.
class DeviceRequest {
 public:
  static constexpr DWORD kCancelBoundMs = 1000;
  static constexpr DWORD kMaxInput = 16;  // every input record fits

  DeviceRequest() = default;
  DeviceRequest(const DeviceRequest&) = delete;
  DeviceRequest& operator=(const DeviceRequest&) = delete;
  ~DeviceRequest();  // frees the record unless it was abandoned

  // Creates the record now (Send does otherwise); the error of its event.
  Result Open();

  // Sends `code` with a copy of `input`; returns once the driver is done
  // with every buffer or the request is abandoned. An output of up to 4
  // bytes travels in the record, copied in before and out after (a word the
  // driver leaves keeps its value); a larger one is the caller's. Fails with
  // the driver's error, ERROR_OPERATION_ABORTED when cancelled or abandoned,
  // or the error of creating the record.
  Result Send(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
              DWORD outputSize, HANDLE stop, DWORD boundMs);

  // Of the last Send: the byte count; whether it pended; whether the stop
  // event ended its wait (consuming an auto-reset one).
  DWORD BytesReturned() const { return bytes_; }
  bool Pended() const { return pended_; }
  bool Stopped() const { return stopped_; }
  // The caller's output of an abandoned request, which must never be
  // freed; null while none was abandoned.
  const void* LeftToDriver() const { return leftToDriver_; }

 private:
  struct Record;

  static void Free(Record* record);
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
