#include "connection/port_connection.h"

#include "connection/thread_wait.h"
#include "platform/owned_handle.h"

namespace qrv {

Result PortConnection::Prepare(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                               BOOL manualResetStop) {
  serviceId_ = serviceId;
  threadCount_ = threadCount;
  device_ = device;
  const BOOL manualReset[kEventCount] = {manualResetStop, TRUE, TRUE};
  for (int i = 0; i < kEventCount; ++i) {
    events_[i] = CreateEventW(nullptr, manualReset[i], FALSE, nullptr);
    if (events_[i] == nullptr) {
      const Result failure = Result::LastError();
      LogEventFailure(i, failure.Error());
      return failure;
    }
  }
  return Result::Success();
}

void PortConnection::Close() {
  for (HANDLE& thread : threads_) CloseHandleField(&thread);
  for (HANDLE& event : events_) CloseHandleField(&event);
}

int32_t PortConnection::Start() {
  if (started_) return 1;
  started_ = AcquirePort().Succeeded() ? 1 : 0;
  if (started_) SetEvent(events_[kStartEvent]);
  return started_;
}

// The stop event goes first: a thread that the port's release wakes finds
// it set, and a racing heartbeat teardown gives way instead of waiting for
// the lock our caller holds. The release completes the threads' requests;
// cancelling one instead would race that completion, hence the grace.
uint32_t PortConnection::Stop() {
  if (IsOpenHandle(events_[kStopEvent])) SetEvent(events_[kStopEvent]);
  if (started_) ReleasePort();
  const DWORD result = WaitForThreads(graceMs_);
  started_ = 0;
  return result;
}

Result PortConnection::AcquirePort() {
  const PortRequest request = {portKind_, {0, 0, 0}, serviceId_, threadCount_};
  uint32_t answer = UC_MAX_PORTS;
  Result result = control_.Send(device_, portCode_, &request, sizeof(request), &answer,
                                sizeof(answer), nullptr, DeviceRequest::kEntryBoundMs);
  if (result.Succeeded() && answer >= UC_MAX_PORTS) result = Result::Failure(ERROR_GEN_FAILURE);
  if (result.Succeeded()) port_ = answer;
  LogPortRequest(result);
  return result;
}

void PortConnection::ReleasePort() {
  static_cast<void>(control_.Send(device_, DescribeCode(portCode_)->giveBack, &port_, sizeof(port_),
                                  nullptr, 0, nullptr, DeviceRequest::kEntryBoundMs));
  LogPortReleased();
}

bool PortConnection::HasThreads() const {
  HANDLE open[kMaxThreads];
  return OpenThreads(open) != 0;
}

// Only open handles are waited on: a closed one would raise an
// invalid-handle exception under strict handle checking.
DWORD PortConnection::OpenThreads(HANDLE (&open)[kMaxThreads]) const {
  DWORD count = 0;
  for (HANDLE thread : threads_) {
    if (IsOpenHandle(thread)) open[count++] = thread;
  }
  return count;
}

DWORD PortConnection::WaitForThreads(DWORD graceMs) const {
  HANDLE open[kMaxThreads];
  const DWORD count = OpenThreads(open);
  if (count == 0) return WAIT_OBJECT_0;
  if (graceMs != INFINITE && WaitForMultipleObjects(count, open, TRUE, graceMs) == WAIT_TIMEOUT &&
      IsOpenHandle(events_[kGiveUpEvent])) {
    SetEvent(events_[kGiveUpEvent]);
  }
  return WaitForConnectionThreads(open, count, serviceId_, port_);
}

}  // namespace qrv
