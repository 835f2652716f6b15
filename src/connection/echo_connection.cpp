#include "connection/echo_connection.h"

#include "diagnostics/log_channel.h"
#include "platform/module_thread.h"

namespace qrv {

namespace {

constexpr DWORD kPingPeriodMs = 1000;

void Log(const char* text) { LogChannel::Instance().Print("%s", text); }

}  // namespace

int32_t CNUcEchoConnection::Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                                   UcServiceCallback, void*) {
  if (device == INVALID_HANDLE_VALUE || threadCount != 1) return 0;
  // The stop event is auto-reset: only the echo thread waits on it.
  if (!Prepare(serviceId, 1, device, FALSE).Succeeded()) return 0;
  threads_[0] = CreateModuleThread(&EchoThreadProc, this);
  if (threads_[0] != nullptr) return 1;
  LogChannel::Instance().Print("%s%x", "quorvel: fail to create ehco thread, error code ",
                               static_cast<unsigned>(GetLastError()));
  return 0;
}

void CNUcEchoConnection::LogEventFailure(int index, DWORD error) {
  static constexpr const char* kTexts[kEventCount] = {
      "quorvel: fail to create event_0, error code ",
      "quorvel: fail to create event_1, error code ",
      "quorvel: fail to create event_2, error code "};
  LogChannel::Instance().Print("%s%x", kTexts[index], static_cast<unsigned>(error));
}

void CNUcEchoConnection::LogPortRequest(const Result& result) {
  if (result.Succeeded()) return;
  LogChannel::Instance().Print("%s%x", "quorvel: create echo port failed, error code ",
                               static_cast<unsigned>(result.Error()));
}

void CNUcEchoConnection::LogPortReleased() { Log("quorvel: stop echo."); }

bool CNUcEchoConnection::IsRunning() const {
  return started_ && heartbeat_.load(std::memory_order_acquire) == Heartbeat::kBeating;
}

bool CNUcEchoConnection::ClaimTeardown() {
  Heartbeat pending = Heartbeat::kLostTeardownPending;
  return heartbeat_.compare_exchange_strong(pending, Heartbeat::kLost);
}

// A ping the stop gave up on is a stop, not a lost heartbeat.
DWORD WINAPI CNUcEchoConnection::EchoThreadProc(LPVOID parameter) {
  auto* self = static_cast<CNUcEchoConnection*>(parameter);
  if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) return 1;
  const EchoPacket packet = {self->port_, UC_ECHO_MAGIC};
  DeviceRequest request;
  for (;;) {
    if (self->WaitForSignal() != WAIT_OBJECT_0 + kStartEvent) break;
    const Result ping = self->Ping(request, packet);
    if (request.GivenUp()) break;
    if (!ping.Succeeded()) {
      self->LoseHeartbeat();
      Log("quorvel: echo quit.");
      return 0;
    }
    if (self->StopSetWithin(kPingPeriodMs)) break;
  }
  Log("quorvel: echo disconnected.");
  Log("quorvel: echo quit.");
  return 0;
}

// Fails unless the answer word, 0 until written, is UC_ECHO_MAGIC within a
// period.
Result CNUcEchoConnection::Ping(DeviceRequest& request, const EchoPacket& packet) const {
  uint32_t answer = 0;
  const Result result = request.Send(device_, IOCTL_UC_ECHO, &packet, sizeof(packet), &answer,
                                     sizeof(answer), GiveUpEvent(), kPingPeriodMs);
  if (result.Succeeded() && answer != UC_ECHO_MAGIC) return Result::Failure(ERROR_GEN_FAILURE);
  return result;
}

// The state is set before "echo error." is logged, so a reader of the line
// finds the heartbeat lost. The teardown awaits the lock together with the
// stop event, which a Stop holding the lock sets before it waits for this
// thread: no deadlock.
void CNUcEchoConnection::LoseHeartbeat() {
  heartbeat_.store(Heartbeat::kLostTeardownPending, std::memory_order_release);
  Log("quorvel: echo error.");
  teardown_.TearDownServices(events_[kStopEvent]);
}

}  // namespace qrv
