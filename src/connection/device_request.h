// Requests to the driver that the sender can walk away from when the driver
// will not let one go.
#ifndef QUORVEL_CONNECTION_DEVICE_REQUEST_H_
#define QUORVEL_CONNECTION_DEVICE_REQUEST_H_

#include <atomic>

#include "connection/byte_span.h"
#include "platform/process_lock.h"
#include "platform/result.h"

namespace qrv {

// One request at a time through one heap record (OVERLAPPED, event, input,
// small output), created once and reused, so a request costs no kernel
// object. The record owns everything the driver may touch except an output
// larger than 4 bytes, which stays the caller's.
//
// Buffers follow their direction (kControlCodes): the input is copied into
// the record; an output of up to 4 bytes travels in the record too, copied
// in before the request and, only when the driver writes it, copied back
// after (a word the driver leaves keeps its value). An output the driver
// only reads, such as the reply's answer, is never written.
//
// The policy: issue; wait until the request completes, `stop` (null: none)
// is set or `boundMs` passes; cancel it (CancelIoEx) and wait kCancelBoundMs
// more; if still pending, abandon it: the record, its event and the output
// stay allocated for the driver, the line
//   "quorvel: request abandoned, the driver ignored its cancellation; control code "
// followed by the code in hexadecimal (format "%s%x") is logged, and the next
// Send makes a new record. An abandoned request that completes later with a
// port is given back by SettleLateCompletions. Used by one thread.
class DeviceRequest {
 public:
  static constexpr DWORD kCancelBoundMs = 1000;
  // The bound of a request an entry point sends: a driver that leaves it
  // unanswered for a heartbeat period is taken as gone.
  static constexpr DWORD kEntryBoundMs = 1000;
  static constexpr DWORD kMaxInput = 16;  // every input record fits

  DeviceRequest() = default;
  DeviceRequest(const DeviceRequest&) = delete;
  DeviceRequest& operator=(const DeviceRequest&) = delete;
  ~DeviceRequest();  // frees the record unless it was abandoned

  // Creates the record now (Send does otherwise); the error of its event.
  Result Open();

  // Sends `code` (a code of kControlCodes) with `input` and `output` as
  // above; returns once the driver is done with every buffer or the request
  // is abandoned. Fails with the driver's error, ERROR_OPERATION_ABORTED
  // when cancelled or abandoned, ERROR_INVALID_PARAMETER for an unknown code
  // or an input over kMaxInput, or the error of creating the record.
  Result Send(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
              DWORD outputSize, HANDLE stop, DWORD boundMs);

  // Of the last Send: the byte count; whether it pended; whether the stop
  // event ended its wait (consuming an auto-reset one).
  DWORD BytesReturned() const { return bytes_; }
  bool Pended() const { return pended_; }
  bool Stopped() const { return stopped_; }
  // The caller's output of an abandoned request: every block it lies in
  // must stay allocated for good. Empty while none was abandoned.
  ByteSpan LeftToDriver() const { return leftToDriver_; }

  // Gives back, through `device`, every port that an abandoned request on
  // it was granted after the library gave up on it, and logs each one:
  //   "quorvel: port[N] granted after its request was abandoned, given back; control code C"
  // A request still pending is looked at again by the next call.
  static void SettleLateCompletions(HANDLE device) QRV_REQUIRES(ProcessLock());
  // Forgets what abandoned requests may still be granted: the device they
  // went to is being closed, and the driver frees a closed handle's ports.
  static void ForgetLateCompletions() QRV_REQUIRES(ProcessLock());

 private:
  struct Record;

  Result Issue(HANDLE device, void* output, DWORD outputSize, HANDLE stop, DWORD boundMs);
  Result Await(HANDLE device, HANDLE stop, DWORD boundMs);
  void Abandon();
  static void GiveBack(HANDLE device, Record& record) QRV_REQUIRES(ProcessLock());

  // Every abandoned record, newest first; pushed by any thread, walked under
  // the process-wide lock, never unlinked.
  static std::atomic<Record*> abandoned_;

  Record* record_ = nullptr;
  DWORD bytes_ = 0;
  bool pended_ = false;
  bool stopped_ = false;
  ByteSpan leftToDriver_;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_DEVICE_REQUEST_H_
