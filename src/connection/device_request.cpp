#include "connection/device_request.h"

#include <cstring>

#include "connection/protocol.h"
#include "diagnostics/log_channel.h"
#include "platform/block_heap.h"
#include "platform/owned_handle.h"

namespace qrv {

// What the driver may touch while a request is in flight. The event is
// manual-reset: each issue resets it, and a completion one wait saw stays
// visible to the next.
struct DeviceRequest::Record {
  OVERLAPPED overlapped = {};
  OwnedHandle event;
  const ControlCode* code = nullptr;  // of the request in flight
  uint8_t input[kMaxInput] = {};
  DWORD inputSize = 0;
  uint8_t answer[4] = {};
  ByteSpan output;  // the caller's output in flight, when larger than answer
  // Abandoned, and a late success may still grant something to give back.
  // Read and cleared under the process-wide lock.
  bool lateGrantOpen = false;
  Record* nextAbandoned = nullptr;
};

std::atomic<DeviceRequest::Record*> DeviceRequest::abandoned_{nullptr};

DeviceRequest::~DeviceRequest() { DeleteOnHeap(BlockHeap::Process(), record_); }

Result DeviceRequest::Open() {
  if (record_ != nullptr) return Result::Success();
  record_ = NewOnHeap<Record>(BlockHeap::Process());
  if (record_ == nullptr) return Result::Failure(ERROR_NOT_ENOUGH_MEMORY);
  record_->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (record_->event.IsOpen()) return Result::Success();
  const Result failure = Result::LastError();
  DeleteOnHeap(BlockHeap::Process(), record_);
  record_ = nullptr;
  return failure;
}

// The record starts from zero for every request: a stale status must not
// pass for this one's, and the offsets mean nothing to a device.
Result DeviceRequest::Send(HANDLE device, DWORD code, const void* input, DWORD inputSize,
                           void* output, DWORD outputSize, HANDLE stop, DWORD boundMs) {
  bytes_ = 0;
  pended_ = stopped_ = false;
  const ControlCode* described = DescribeCode(code);
  if (described == nullptr || inputSize > kMaxInput) {
    return Result::Failure(ERROR_INVALID_PARAMETER);
  }
  const Result opened = Open();
  if (!opened.Succeeded()) return opened;
  Record& record = *record_;
  record.code = described;
  record.inputSize = inputSize;
  if (inputSize != 0) std::memcpy(record.input, input, inputSize);
  const bool small = outputSize <= sizeof(record.answer);
  if (small && outputSize != 0) std::memcpy(record.answer, output, outputSize);
  record.output = small ? ByteSpan{} : ByteSpan{output, outputSize};
  const Result result = Issue(device, small ? record.answer : output, outputSize, stop, boundMs);
  if (record_ == nullptr) return result;  // abandoned: the answer word is the driver's
  if (small && outputSize != 0 && described->driverWritesOutput) {
    std::memcpy(output, record.answer, outputSize);
  }
  return result;
}

Result DeviceRequest::Issue(HANDLE device, void* output, DWORD outputSize, HANDLE stop,
                            DWORD boundMs) {
  Record& record = *record_;
  record.overlapped = {};
  record.overlapped.hEvent = record.event.Get();
  DWORD returned = 0;
  if (DeviceIoControl(device, record.code->code, record.input, record.inputSize,
                      outputSize != 0 ? output : nullptr, outputSize, &returned,
                      &record.overlapped)) {
    bytes_ = returned;
    return Result::Success();
  }
  const Result issued = Result::LastError();
  if (issued.Error() != ERROR_IO_PENDING) return issued;
  pended_ = true;
  return Await(device, stop, boundMs);
}

// A failed wait (a stop event closed under it) counts as the bound passed.
// Once the event is set the status is final, so it is read without a wait.
Result DeviceRequest::Await(HANDLE device, HANDLE stop, DWORD boundMs) {
  OVERLAPPED* overlapped = &record_->overlapped;
  const HANDLE handles[2] = {overlapped->hEvent, stop};
  const DWORD signalled = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, boundMs);
  if (signalled != WAIT_OBJECT_0) {
    stopped_ = signalled == WAIT_OBJECT_0 + 1;
    CancelIoEx(device, overlapped);
    if (WaitForSingleObject(overlapped->hEvent, kCancelBoundMs) != WAIT_OBJECT_0) {
      Abandon();
      return Result::Failure(ERROR_OPERATION_ABORTED);
    }
  }
  DWORD returned = 0;
  if (!GetOverlappedResult(device, overlapped, &returned, FALSE)) return Result::LastError();
  bytes_ = returned;
  return Result::Success();
}

// Abandoned records are leaked on purpose, never freed, so no completion
// can write into freed memory: the driver may complete into one at any time
// and the I/O manager then still sets its event. Only a driver that ignores
// cancellation costs this memory, and each such request is logged. The
// chain keeps them reachable, and lets the entry points find a late grant.
void DeviceRequest::Abandon() {
  Record* record = record_;
  record_ = nullptr;
  leftToDriver_ = record->output;
  record->lateGrantOpen = record->code->giveBack != 0;
  record->nextAbandoned = abandoned_.load(std::memory_order_relaxed);
  while (
      !abandoned_.compare_exchange_weak(record->nextAbandoned, record, std::memory_order_acq_rel)) {
  }
  LogChannel::Instance().Print(
      "%s%x", "quorvel: request abandoned, the driver ignored its cancellation; control code ",
      static_cast<unsigned>(record->code->code));
}

// Only entry points abandon requests that can grant something, under the
// lock that this walk holds too; a record is looked at once its event is
// set, after which the driver writes nothing more into it.
void DeviceRequest::SettleLateCompletions(HANDLE device) {
  for (Record* record = abandoned_.load(std::memory_order_acquire); record != nullptr;
       record = record->nextAbandoned) {
    if (!record->lateGrantOpen || WaitForSingleObject(record->event.Get(), 0) != WAIT_OBJECT_0) {
      continue;
    }
    record->lateGrantOpen = false;
    GiveBack(device, *record);
  }
}

void DeviceRequest::ForgetLateCompletions() {
  for (Record* record = abandoned_.load(std::memory_order_acquire); record != nullptr;
       record = record->nextAbandoned) {
    record->lateGrantOpen = false;
  }
}

// The port word is read as the port requests read it: a success without a
// port below UC_MAX_PORTS granted nothing.
void DeviceRequest::GiveBack(HANDLE device, Record& record) {
  DWORD bytes = 0;
  uint32_t port = UC_MAX_PORTS;
  std::memcpy(&port, record.answer, sizeof(port));
  if (!GetOverlappedResult(device, &record.overlapped, &bytes, FALSE) || port >= UC_MAX_PORTS) {
    return;
  }
  const DWORD giveBack = record.code->giveBack;
  DeviceRequest request;
  static_cast<void>(
      request.Send(device, giveBack, &port, sizeof(port), nullptr, 0, nullptr, kEntryBoundMs));
  LogChannel::Instance().Print(
      "%s%d%s%x", "quorvel: port[", static_cast<int>(port),
      "] granted after its request was abandoned, given back; control code ",
      static_cast<unsigned>(giveBack));
}

}  // namespace qrv
