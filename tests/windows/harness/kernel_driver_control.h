// The reference driver's control device (\\.\QRVCtl), wrapped for test
// programs: post messages to services, collect outcomes and replies, read
// counters, ports and the request log, inject faults, and wait for the
// driver's state without sleeping.
#ifndef QRV_TESTS_WINDOWS_HARNESS_KERNEL_DRIVER_CONTROL_H_
#define QRV_TESTS_WINDOWS_HARNESS_KERNEL_DRIVER_CONTROL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "qrvctl.h"
#include "win_handle.h"

namespace qrv {
namespace wintest {

struct MessageOutcome {
  QrvCtlOutcome record{};
  std::vector<uint8_t> reply;  // the kept reply bytes

  // ANSWERED, NOT_WANTED or FAILED_BACK: nothing will change it any more.
  bool Final() const { return record.state >= QRVCTL_MSG_ANSWERED; }
};

// One open handle to the control device. Thread-safe: every call issues its
// own overlapped request with its own event, so threads may share one
// object. Every call returns ERROR_SUCCESS or the Win32 error that the
// driver's answer mapped to.
class KernelDriverControl {
 public:
  // Opens the control device of the loaded driver. Returns null with the
  // Win32 error in *error when it cannot (ERROR_FILE_NOT_FOUND: no driver).
  static std::unique_ptr<KernelDriverControl> Open(DWORD* error);

  KernelDriverControl(const KernelDriverControl&) = delete;
  KernelDriverControl& operator=(const KernelDriverControl&) = delete;

  // Queues a message for the port of `serviceId`: `header` is the Header
  // word it is delivered with (0 wants no reply); `targetSlot` a thread
  // index that must take it, or QRVCTL_ANY_SLOT. ERROR_NOT_FOUND when the
  // service holds no port.
  DWORD Post(uint32_t serviceId, uint32_t header, const void* payload, uint32_t length,
             uint32_t targetSlot, uint32_t* messageId);
  // Queues `copies` such messages in one request; each is forgotten once
  // final, so only the counters tell how they ended.
  DWORD PostCopies(uint32_t copies, uint32_t serviceId, uint32_t header, const void* payload,
                   uint32_t length, uint32_t targetSlot);
  // Where the message stands, with its reply bytes. `release` forgets a
  // final outcome once read (later reads answer QRVCTL_MSG_UNKNOWN).
  DWORD Outcome(uint32_t messageId, bool release, MessageOutcome* outcome);
  DWORD Counters(QrvCtlCounters* counters);
  DWORD Ports(QrvCtlPorts* ports);
  // Appends the log entries from sequence `first` on to *entries and sets
  // *next to the sequence after the last one the driver holds.
  DWORD ReadLog(uint32_t first, std::vector<QrvCtlLogEntry>* entries, uint32_t* next);
  DWORD ClearLog();
  DWORD SetFault(const QrvCtlFault& fault);
  DWORD ClearFault(uint32_t kind);

  // Blocks until `condition` holds, evaluating it again after every change
  // of the driver's state. False when `timeoutMs` passes first or the
  // driver stops answering. `condition` may call this object.
  bool WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition);

  // Waits for the message to reach a final state.
  bool WaitForOutcome(uint32_t messageId, DWORD timeoutMs, MessageOutcome* outcome);
  // Waits until the port of `serviceId` holds at least `count` pending
  // receives.
  bool WaitForPendingReceives(uint32_t serviceId, uint32_t count, DWORD timeoutMs);
  // The port holding `serviceId`, or QRVCTL_NO_PORT.
  uint32_t ServicePort(uint32_t serviceId);

 private:
  explicit KernelDriverControl(Handle device);

  DWORD Call(uint32_t code, const void* input, DWORD inputLength, void* output, DWORD outputLength,
             DWORD* bytes);
  // Sends `code` with `input`, then `post`, then its payload.
  DWORD PostInput(uint32_t code, std::vector<uint8_t> input, const QrvCtlPost& post,
                  const void* payload, uint32_t* messageId);
  // Waits, at most `timeoutMs`, until the generation differs from `seen`.
  DWORD WaitForChange(uint32_t seen, DWORD timeoutMs);

  Handle device_;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HARNESS_KERNEL_DRIVER_CONTROL_H_
