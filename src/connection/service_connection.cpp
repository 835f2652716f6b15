#include "connection/service_connection.h"

#include "connection/worker.h"
#include "diagnostics/log_channel.h"
#include "platform/module_thread.h"
#include "platform/owned_handle.h"

namespace qrv {

int32_t CNUcCommuniateConnection::Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                                         UcServiceCallback callback, void* context) {
  if (threadCount > kMaxThreads || device == INVALID_HANDLE_VALUE || callback == nullptr) return 0;
  callback_ = callback;
  context_ = context;
  // The stop event is manual-reset: every worker must see it.
  return Prepare(serviceId, threadCount, device, TRUE).Succeeded() && CreateWorkers() ? 1 : 0;
}

void CNUcCommuniateConnection::LogEventFailure(int index, DWORD error) {
  static constexpr const char* kFormats[kEventCount] = {
      "quorvel: fail to create event_0 for service[%d], error code[0x%x]",
      "quorvel: fail to create event_1 for service[%d], error code[0x%x]",
      "quorvel: fail to create event_2 for service[%d], error code[0x%x]"};
  LogChannel::Instance().Print(kFormats[index], serviceId_, static_cast<unsigned>(error));
}

bool CNUcCommuniateConnection::CreateWorkers() {
  for (uint32_t i = 0; i < threadCount_; ++i) {
    serving_.fetch_add(1, std::memory_order_relaxed);
    threads_[i] = CreateModuleThread(&WorkerThreadProc, this);
    if (threads_[i] != nullptr) continue;
    serving_.fetch_sub(1, std::memory_order_relaxed);
    LogChannel::Instance().Print(
        "quorvel: fail to create threads for service[%d], error code[0x%x]", serviceId_,
        static_cast<unsigned>(GetLastError()));
    SetEvent(events_[kStopEvent]);
    WaitForThreads();
    return false;
  }
  return true;
}

void CNUcCommuniateConnection::LogPortRequest(const Result& result) {
  LogChannel& log = LogChannel::Instance();
  if (result.Succeeded()) {
    log.Print("%s%d%s%d%s", "quorvel: allocate port[", port_, "] for service[", serviceId_, "]");
  } else {
    log.Print("%s%d%s", "quorvel: allocate port for service[", serviceId_, "] failed.");
  }
}

void CNUcCommuniateConnection::LogPortReleased() {
  LogChannel::Instance().Print("%s%d%s%d%s", "quorvel: free port[", port_, "] for service[",
                               serviceId_, "]");
}

bool CNUcCommuniateConnection::IsRunning() const {
  return started_ && serving_.load(std::memory_order_acquire) > 0;
}

DWORD WINAPI CNUcCommuniateConnection::WorkerThreadProc(LPVOID connection) {
  Worker worker(*static_cast<CNUcCommuniateConnection*>(connection));
  return worker.Run();
}

}  // namespace qrv
