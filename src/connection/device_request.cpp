#include "connection/device_request.h"

#include <atomic>
#include <cstring>
#include <new>

#include "connection/block_heap.h"
#include "diagnostics/log_channel.h"
#include "platform/owned_handle.h"

namespace qrv {

// What the driver may touch while a request is in flight. The event is
// manual-reset: each issue resets it, and a completion one wait saw stays
// visible to the next.
struct DeviceRequest::Record {
  OVERLAPPED overlapped = {};
  OwnedHandle event;
  uint8_t input[kMaxInput] = {};
  uint8_t answer[4] = {};
  void* output = nullptr;  // the caller's output of the request in flight
  Record* nextAbandoned = nullptr;
};

DeviceRequest::~DeviceRequest() { Free(record_); }

// Placement construction on the process heap: `new (std::nothrow)` raises
// and catches an exception inside the module when memory runs out, which a
// host with the toolchain's shared unwinder loaded does not survive.
Result DeviceRequest::Open() {
  if (record_ != nullptr) return Result::Success();
  void* memory = BlockHeap::Process().Allocate(sizeof(Record));
  if (memory == nullptr) return Result::Failure(ERROR_NOT_ENOUGH_MEMORY);
  record_ = new (memory) Record;
  record_->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (record_->event.IsOpen()) return Result::Success();
  const Result failure = Result::LastError();
  Free(record_);
  record_ = nullptr;
  return failure;
}

void DeviceRequest::Free(Record* record) {
  if (record == nullptr) return;
  record->~Record();
  BlockHeap::Process().Free(record);
}

// The record starts from zero for every request: a stale status must not
// pass for this one's, and the offsets mean nothing to a device.
Result DeviceRequest::Send(HANDLE device, DWORD code, const void* input, DWORD inputSize,
                           void* output, DWORD outputSize, HANDLE stop, DWORD boundMs) {
  bytes_ = 0;
  pended_ = stopped_ = false;
  if (inputSize > kMaxInput) return Result::Failure(ERROR_INVALID_PARAMETER);
  const Result opened = Open();
  if (!opened.Succeeded()) return opened;
  Record& record = *record_;
  record.overlapped = {};
  record.overlapped.hEvent = record.event.Get();
  if (inputSize != 0) std::memcpy(record.input, input, inputSize);
  const bool small = outputSize <= sizeof(record.answer);
  if (small && outputSize != 0) std::memcpy(record.answer, output, outputSize);
  record.output = small ? nullptr : output;
  void* target = small && outputSize != 0 ? record.answer : record.output;
  DWORD returned = 0;
  Result result = Result::Success();
  if (DeviceIoControl(device, code, record.input, inputSize, target, outputSize, &returned,
                      &record.overlapped)) {
    bytes_ = returned;
  } else {
    const Result issued = Result::LastError();
    if (issued.Error() != ERROR_IO_PENDING) return issued;
    pended_ = true;
    result = Await(device, code, stop, boundMs);
    if (record_ == nullptr) return result;
  }
  if (small && outputSize != 0) std::memcpy(output, record.answer, outputSize);
  return result;
}

// A failed wait (a stop event closed under it) counts as the bound passed.
// Once the event is set the status is final, so it is read without a wait.
Result DeviceRequest::Await(HANDLE device, DWORD code, HANDLE stop, DWORD boundMs) {
  OVERLAPPED* overlapped = &record_->overlapped;
  const HANDLE handles[2] = {overlapped->hEvent, stop};
  const DWORD signalled = WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, boundMs);
  if (signalled != WAIT_OBJECT_0) {
    stopped_ = signalled == WAIT_OBJECT_0 + 1;
    CancelIoEx(device, overlapped);
    if (WaitForSingleObject(overlapped->hEvent, kCancelBoundMs) != WAIT_OBJECT_0) {
      Abandon(code);
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
// chain keeps them reachable.
void DeviceRequest::Abandon(DWORD code) {
  static std::atomic<Record*> abandoned{nullptr};
  Record* record = record_;
  record_ = nullptr;
  if (record->output != nullptr) leftToDriver_ = record->output;
  record->nextAbandoned = abandoned.load(std::memory_order_relaxed);
  while (!abandoned.compare_exchange_weak(record->nextAbandoned, record)) {
  }
  LogChannel::Instance().Print(
      "%s%x", "quorvel: request abandoned, the driver ignored its cancellation; control code ",
      static_cast<unsigned>(code));
}

}  // namespace qrv
