#include "connection/port_connection.h"

#include "connection/thread_wait.h"
#include "platform/owned_handle.h"

namespace qrv {

void PortConnection::Assign(uint32_t serviceId, uint32_t threadCount, HANDLE device) {
  serviceId_ = serviceId;
  threadCount_ = threadCount;
  device_ = device;
}

Result PortConnection::CreateEvents(BOOL manualResetStop, int* failed) {
  const BOOL manualReset[2] = {manualResetStop, TRUE};
  for (int i = kStopEvent; i <= kStartEvent; ++i) {
    events_[i] = CreateEventW(nullptr, manualReset[i], FALSE, nullptr);
    if (events_[i] == nullptr) {
      *failed = i;
      return Result::LastError();
    }
  }
  return Result::Success();
}

void PortConnection::Close() {
  for (HANDLE& thread : threads_) CloseHandleField(&thread);
  CloseHandleField(&events_[kStopEvent]);
  CloseHandleField(&events_[kStartEvent]);
}

int32_t PortConnection::Start() {
  if (started_) return 1;
  uint32_t port = UC_MAX_PORTS;
  if (!AcquirePort(&port).Succeeded()) {
    started_ = 0;
    return 0;
  }
  port_ = port;
  started_ = 1;
  SetEvent(events_[kStartEvent]);
  return 1;
}

// The stop event goes first: a thread whose request the port's release
// completes must find it set at the top of its next pass, and a heartbeat
// teardown that races with this stop sees it and gives way instead of
// waiting for the lock our caller holds.
uint32_t PortConnection::Stop() {
  if (OwnedHandle::IsOpenHandle(events_[kStopEvent])) SetEvent(events_[kStopEvent]);
  if (started_) ReleasePort();
  DWORD result = WaitForThreads();
  started_ = 0;
  return result;
}

// These requests come from entry points that hold the process-wide lock and
// wait on no stop event; the byte count is not used by any of their codes.
Result PortConnection::RequestPort(DWORD code, PortKind kind, uint32_t* port) {
  const PortRequest request = {kind, {0, 0, 0}, serviceId_, threadCount_};
  uint32_t answer = UC_MAX_PORTS;
  const Result result = control_.Send(device_, code, &request, sizeof(request), &answer,
                                      sizeof(answer), nullptr, DeviceRequest::kEntryBoundMs);
  if (!result.Succeeded()) return result;
  if (answer >= UC_MAX_PORTS) return Result::Failure(ERROR_GEN_FAILURE);
  *port = answer;
  return result;
}

void PortConnection::ReturnPort(DWORD code) {
  static_cast<void>(control_.Send(device_, code, &port_, sizeof(port_), nullptr, 0, nullptr,
                                  DeviceRequest::kEntryBoundMs));
}

bool PortConnection::HasThreads() const {
  for (HANDLE thread : threads_) {
    if (OwnedHandle::IsOpenHandle(thread)) return true;
  }
  return false;
}

// A closed connection's handles are null: waiting on them would fail, and
// under strict handle checking raise an invalid-handle exception, so only
// the open ones are waited for.
DWORD PortConnection::WaitForThreads() const {
  HANDLE open[kMaxThreads];
  DWORD count = 0;
  for (HANDLE thread : threads_) {
    if (OwnedHandle::IsOpenHandle(thread)) open[count++] = thread;
  }
  if (count == 0) return WAIT_OBJECT_0;
  return WaitForConnectionThreads(open, count, serviceId_, port_);
}

}  // namespace qrv
