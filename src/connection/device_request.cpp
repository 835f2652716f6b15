#include "connection/device_request.h"

#include <cstring>

#include "connection/protocol.h"
#include "diagnostics/log_channel.h"
#include "platform/owned_handle.h"

namespace qrv {

// What the driver may touch while a request is in flight. The event is
// manual-reset, so a completion one wait saw stays visible to the next.
struct DeviceRequest::Record {
  explicit Record(BlockHeap& heap) : kept(heap) {}

  OVERLAPPED overlapped = {};
  OwnedHandle event;
  const ControlCode* code = nullptr;  // of the request in flight
  uint8_t input[kMaxInput] = {};
  DWORD inputSize = 0;
  uint8_t answer[4] = {};
  CNimUCAllocator kept;            // blocks the driver may still use once abandoned
  std::atomic<bool> letGo{false};  // the owner hands `kept` no more blocks
  bool lateGrantOpen = false;      // under the process-wide lock
  Record* next = nullptr;
};

std::atomic<DeviceRequest::Record*> DeviceRequest::abandoned_{nullptr};
std::atomic<uint32_t> DeviceRequest::cancellations_{0};

DeviceRequest::~DeviceRequest() {
  LetGo();
  DeleteOnHeap(BlockHeap::Process(), record_);
}

Result DeviceRequest::Open() {
  if (record_ != nullptr) return Result::Success();
  LetGo();
  record_ = NewOnHeap<Record>(BlockHeap::Process(), heap_);
  if (record_ == nullptr) return Result::Failure(ERROR_NOT_ENOUGH_MEMORY);
  record_->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (record_->event.IsOpen()) return Result::Success();
  const Result failure = Result::LastError();
  DeleteOnHeap(BlockHeap::Process(), record_);
  record_ = nullptr;
  return failure;
}

CNimUCAllocator* DeviceRequest::Keeper() { return left_ != nullptr ? &left_->kept : nullptr; }

Result DeviceRequest::Send(HANDLE device, DWORD code, const void* input, DWORD inputSize,
                           void* output, DWORD outputSize, HANDLE giveUp, DWORD boundMs) {
  bytes_ = 0;
  pended_ = givenUp_ = false;
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
  const Result result = Issue(device, small ? record.answer : output, outputSize, giveUp, boundMs);
  if (record_ == nullptr) return result;  // abandoned: the answer word is the driver's
  if (small && outputSize != 0 && described->driverWritesOutput) {
    std::memcpy(output, record.answer, outputSize);
  }
  return result;
}

// The OVERLAPPED starts from zero, so a stale status never passes for this one's.
Result DeviceRequest::Issue(HANDLE device, void* output, DWORD outputSize, HANDLE giveUp,
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
  return Await(device, giveUp, boundMs);
}

// The completion is listed first: a request completed by the time `giveUp`
// is set is never cancelled. A failed wait counts as the bound passed.
Result DeviceRequest::Await(HANDLE device, HANDLE giveUp, DWORD boundMs) {
  OVERLAPPED* overlapped = &record_->overlapped;
  const HANDLE handles[2] = {overlapped->hEvent, giveUp};
  const DWORD signalled =
      WaitForMultipleObjects(giveUp != nullptr ? 2 : 1, handles, FALSE, boundMs);
  if (signalled != WAIT_OBJECT_0) {
    givenUp_ = signalled == WAIT_OBJECT_0 + 1;
    cancellations_.fetch_add(1, std::memory_order_acq_rel);
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

// Chained at once, so the next entry point finds a late grant; freed only
// once the owner, which may still hand it blocks, has let go too.
void DeviceRequest::Abandon() {
  left_ = record_;
  record_ = nullptr;
  left_->lateGrantOpen = left_->code->giveBack != 0;
  Push(left_);
  LogChannel::Instance().Print(
      "%s%x", "quorvel: request abandoned, the driver ignored its cancellation; control code ",
      static_cast<unsigned>(left_->code->code));
}

void DeviceRequest::LetGo() {
  if (left_ == nullptr) return;
  left_->letGo.store(true, std::memory_order_release);
  left_ = nullptr;
}

void DeviceRequest::Push(Record* record) {
  record->next = abandoned_.load(std::memory_order_relaxed);
  while (!abandoned_.compare_exchange_weak(record->next, record, std::memory_order_acq_rel)) {
  }
}

// Records pushed while this walk runs wait for the next one.
void DeviceRequest::ReclaimAbandoned(HANDLE device) {
  Record* record = abandoned_.exchange(nullptr, std::memory_order_acq_rel);
  while (record != nullptr) {
    Record* next = record->next;
    if (Settle(device, *record)) {
      DeleteOnHeap(BlockHeap::Process(), record);
    } else {
      Push(record);
    }
    record = next;
  }
}

// True once the record can go: completed, and let go by its owner.
bool DeviceRequest::Settle(HANDLE device, Record& record) {
  if (device == INVALID_HANDLE_VALUE) record.lateGrantOpen = false;
  if (WaitForSingleObject(record.event.Get(), 0) != WAIT_OBJECT_0) return false;
  if (record.lateGrantOpen) {
    record.lateGrantOpen = false;
    GiveBack(device, record);
  }
  return record.letGo.load(std::memory_order_acquire);
}

// A success without a port below UC_MAX_PORTS granted nothing.
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
