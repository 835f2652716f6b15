#include "connection/echo_connection.h"

#include "connection/thread_wait.h"
#include "diagnostics/log_channel.h"
#include "platform/module_thread.h"
#include "platform/owned_handle.h"

namespace {

constexpr DWORD kPingPeriodMs = 1000;
// How often a heartbeat teardown that finds the process-wide lock taken
// looks at the stop event again.
constexpr DWORD kLockPollMs = 1;

}  // namespace

int32_t CNUcEchoConnection::Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                                   UcServiceCallback callback, void* context) {
  if (device == INVALID_HANDLE_VALUE || threadCount != 1) return 0;
  serviceId_ = serviceId;
  device_ = device;
  threadCount_ = 1;
  callback_ = callback;
  context_ = context;
  LogChannel& log = LogChannel::Instance();
  events_[kStopEvent] = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (events_[kStopEvent] == nullptr) {
    log.Print("%s%x", "quorvel: fail to create event_0, error code ", GetLastError());
    return 0;
  }
  events_[kStartEvent] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (events_[kStartEvent] == nullptr) {
    log.Print("%s%x", "quorvel: fail to create event_1, error code ", GetLastError());
    return 0;
  }
  thread_ = CreateModuleThread(&EchoThreadProc, this);
  if (thread_ == nullptr) {
    log.Print("%s%x", "quorvel: fail to create ehco thread, error code ", GetLastError());
    return 0;
  }
  return 1;
}

void CNUcEchoConnection::Close() {
  CloseHandleField(&thread_);
  CloseHandleField(&events_[kStopEvent]);
  CloseHandleField(&events_[kStartEvent]);
}

int32_t CNUcEchoConnection::Start() {
  if (started_) return 1;
  if (RequestPort(device_, IOCTL_UC_CREATE_ECHO_PORT, kEchoPort, serviceId_, threadCount_,
                  &port_)) {
    started_ = 1;
    SetEvent(events_[kStartEvent]);
    return 1;
  }
  LogChannel::Instance().Print("%s%x", "quorvel: create echo port failed, error code ",
                               GetLastError());
  started_ = 0;
  return 0;
}

uint32_t CNUcEchoConnection::Stop() {
  // Set before anything else: a heartbeat teardown that races with this stop
  // sees it and gives way instead of waiting for the lock our caller holds.
  if (OwnedHandle::IsOpenHandle(events_[kStopEvent])) SetEvent(events_[kStopEvent]);
  if (started_) {
    SendRequest(device_, IOCTL_UC_CLOSE_ECHO_PORT, &port_, sizeof(port_), nullptr, 0);
    LogChannel::Instance().Print("%s", "quorvel: stop echo.");
  }
  DWORD result = WaitForConnectionThreads(&thread_, 1, serviceId_, port_);
  started_ = 0;
  return result;
}

bool CNUcEchoConnection::IsRunning() const { return started_ && ThreadIsAlive(thread_); }

DWORD WINAPI CNUcEchoConnection::EchoThreadProc(LPVOID parameter) {
  const auto* self = static_cast<const CNUcEchoConnection*>(parameter);
  if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) return 1;
  const EchoPacket packet = {self->port_, UC_ECHO_MAGIC};
  LogChannel& log = LogChannel::Instance();
  for (;;) {
    if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) {
      log.Print("%s", "quorvel: echo disconnected.");
      break;
    }
    if (!self->Ping(packet)) {
      log.Print("%s", "quorvel: echo error.");
      self->TearDownServices();
      break;
    }
    if (!self->WaitUntilPingDue()) {
      log.Print("%s", "quorvel: echo disconnected.");
      break;
    }
  }
  log.Print("%s", "quorvel: echo quit.");
  return 0;
}

DWORD CNUcEchoConnection::WaitForSignal() const {
  return WaitForMultipleObjects(2, events_, FALSE, INFINITE);
}

// The answer word starts at 0 for every ping: a ping that completes
// without writing it fails rather than passing on an earlier answer.
bool CNUcEchoConnection::Ping(const EchoPacket& packet) const {
  uint32_t answer = 0;
  return SendRequest(device_, IOCTL_UC_ECHO, &packet, sizeof(packet), &answer, sizeof(answer)) &&
         answer == UC_ECHO_MAGIC;
}

// Waits out the heartbeat period on the stop event rather than sleeping
// blind, so that Stop need not wait up to a second for the thread. Returns
// false when the stop event ended the wait (which consumes it).
bool CNUcEchoConnection::WaitUntilPingDue() const {
  return WaitForSingleObject(events_[kStopEvent], kPingPeriodMs) == WAIT_TIMEOUT;
}

// Why this cannot deadlock with a stop of this connection: every Stop runs
// with the process-wide lock held, sets the stop event before it sends
// anything, and then waits for this thread. While the lock is taken this
// thread looks at the stop event every millisecond, so a stop that holds
// the lock is seen and this thread ends without the lock. Taking the lock,
// conversely, proves that no stop is under way: a stop would hold the lock
// until this thread had ended. The stop event can only be consumed by this
// thread, so once set it stays visible here.
void CNUcEchoConnection::TearDownServices() const {
  while (!teardown_.TryTearDownServices()) {
    if (WaitForSingleObject(events_[kStopEvent], kLockPollMs) == WAIT_OBJECT_0) return;
  }
}
