#include "connection/echo_connection.h"

#include "diagnostics/log_channel.h"
#include "platform/module_thread.h"
#include "platform/owned_handle.h"

namespace qrv {

namespace {

constexpr DWORD kPingPeriodMs = 1000;

}  // namespace

int32_t CNUcEchoConnection::Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                                   UcServiceCallback, void*) {
  if (device == INVALID_HANDLE_VALUE || threadCount != 1) return 0;
  Assign(serviceId, 1, device);
  LogChannel& log = LogChannel::Instance();
  // The stop event is auto-reset: only the echo thread waits on it.
  static constexpr const char* kFailedEvent[kEventCount] = {
      "quorvel: fail to create event_0, error code ",
      "quorvel: fail to create event_1, error code ",
      "quorvel: fail to create event_2, error code "};
  int failed = kStopEvent;
  const Result events = CreateEvents(FALSE, &failed);
  if (!events.Succeeded()) {
    log.Print("%s%x", kFailedEvent[failed], static_cast<unsigned>(events.Error()));
    return 0;
  }
  threads_[0] = CreateModuleThread(&EchoThreadProc, this);
  if (threads_[0] == nullptr) {
    log.Print("%s%x", "quorvel: fail to create ehco thread, error code ",
              static_cast<unsigned>(GetLastError()));
    return 0;
  }
  return 1;
}

Result CNUcEchoConnection::AcquirePort(uint32_t* port) {
  const Result result = RequestPort(IOCTL_UC_CREATE_ECHO_PORT, kEchoPort, port);
  if (!result.Succeeded()) {
    LogChannel::Instance().Print("%s%x", "quorvel: create echo port failed, error code ",
                                 static_cast<unsigned>(result.Error()));
  }
  return result;
}

void CNUcEchoConnection::ReleasePort() {
  ReturnPort(IOCTL_UC_CLOSE_ECHO_PORT);
  LogChannel::Instance().Print("%s", "quorvel: stop echo.");
}

bool CNUcEchoConnection::IsRunning() const {
  return started_ && heartbeat_.load(std::memory_order_acquire) == Heartbeat::kBeating;
}

bool CNUcEchoConnection::ClaimTeardown() {
  Heartbeat pending = Heartbeat::kLostTeardownPending;
  return heartbeat_.compare_exchange_strong(pending, Heartbeat::kLost);
}

DWORD WINAPI CNUcEchoConnection::EchoThreadProc(LPVOID parameter) {
  auto* self = static_cast<CNUcEchoConnection*>(parameter);
  if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) return 1;
  const EchoPacket packet = {self->port_, UC_ECHO_MAGIC};
  // Without its event every ping fails, as a heartbeat failure.
  DeviceRequest request;
  LogChannel& log = LogChannel::Instance();
  for (;;) {
    if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) {
      log.Print("%s", "quorvel: echo disconnected.");
      break;
    }
    const PingResult ping = self->Ping(request, packet);
    // A stop that cuts a ping short is a stop, not a lost heartbeat.
    if (ping == PingResult::kStopped) {
      log.Print("%s", "quorvel: echo disconnected.");
      break;
    }
    if (ping == PingResult::kFailed) {
      self->LoseHeartbeat();
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

// The answer word starts at 0 for every ping: a ping that completes
// without writing it fails rather than passing on an earlier answer. An
// answer left pending for a whole period is what the heartbeat exists to
// catch: the ping is cancelled and fails. A stop leaves a pending ping to
// the closing of the echo port, and gives up on it only after its grace.
CNUcEchoConnection::PingResult CNUcEchoConnection::Ping(DeviceRequest& request,
                                                        const EchoPacket& packet) const {
  uint32_t answer = 0;
  const Result result = request.Send(device_, IOCTL_UC_ECHO, &packet, sizeof(packet), &answer,
                                     sizeof(answer), GiveUpEvent(), kPingPeriodMs);
  if (request.GivenUp()) return PingResult::kStopped;
  return result.Succeeded() && answer == UC_ECHO_MAGIC ? PingResult::kAnswered
                                                       : PingResult::kFailed;
}

// Waits out the heartbeat period on the stop event rather than sleeping
// blind, so that Stop need not wait up to a second for the thread. Returns
// false when the stop event ended the wait (which consumes it).
bool CNUcEchoConnection::WaitUntilPingDue() const {
  return WaitForSingleObject(events_[kStopEvent], kPingPeriodMs) == WAIT_TIMEOUT;
}

// The state is set before the line is logged, so that whoever reads "echo
// error." finds the heartbeat lost. Then the services are torn down by the
// first party to hold the process-wide lock: this thread, or an entry point
// that settles the loss before it does anything else (ClaimTeardown decides
// which, once).
//
// Why waiting for the lock here cannot deadlock with a stop of this
// connection: every Stop runs with the process-wide lock held, sets the stop
// event before it sends anything, and then waits for this thread. This
// thread never blocks on the lock: while the lock is taken it sleeps on the
// stop event and on the lock's releases together, so a stop that holds the
// lock wakes it and it ends without the lock. Taking the lock, conversely,
// proves that no stop is under way: a stop would hold the lock until this
// thread had ended. The stop event can only be consumed by this thread, so
// once set it stays visible here.
void CNUcEchoConnection::LoseHeartbeat() {
  heartbeat_.store(Heartbeat::kLostTeardownPending, std::memory_order_release);
  LogChannel::Instance().Print("%s", "quorvel: echo error.");
  teardown_.TearDownServices(events_[kStopEvent]);
}

}  // namespace qrv
