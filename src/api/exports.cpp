// The four exported entry points. Each refuses a library thread or a thread
// already inside one, and otherwise runs under the process-wide lock
// (EntryLock). Nothing inside the module raises a C++ exception (NewOnHeap),
// so none is caught.
#include "api/exports.h"

#include "api/process_context.h"
#include "connection/device_request.h"
#include "connection/echo_connection.h"
#include "connection/service_connection.h"
#include "platform/thread_mark.h"

namespace qrv {

#if defined(_WIN32)
#define QUORVEL_EXPORT
#else
#define QUORVEL_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Logs `line`, halts `echo` unless null, and gives back only what Init took:
// a device it found closed is closed again with the log channel; one it found
// open stays for UnInit.
HRESULT FailInit(bool foundOpen, const char* line, CNUcEchoConnection* echo = nullptr)
    QRV_REQUIRES(ProcessLock()) {
  LogChannel::Instance().Print("%s", line);
  if (echo != nullptr) ConnectionFactory::Halt(echo);
  ProcessContext& context = ProcessContext::Get();
  if (!foundOpen && context.CloseDevice()) LogChannel::Instance().Shutdown();
  return E_FAIL;
}

HRESULT StartEcho(bool foundOpen) QRV_REQUIRES(ProcessLock()) {
  ProcessContext& context = ProcessContext::Get();
  CNUcEchoConnection* echo = context.Factory().CreateEchoConnection(context.Device());
  if (echo == nullptr) return FailInit(foundOpen, "quorvel-Init: create echo connnection failed.");
  if (!echo->Start()) return FailInit(foundOpen, "quorvel-Init: start echo failed.", echo);
  LogChannel::Instance().Print("%s", "quorvel-Initialize successfully.");
  return S_OK;
}

HRESULT InitLocked() QRV_REQUIRES(ProcessLock()) {
  ProcessContext& context = ProcessContext::Get();
  LogChannel::Instance().Open();
  const bool foundOpen = context.DeviceOpen();
  if (!foundOpen && !context.OpenDevice().Succeeded()) {
    return FailInit(foundOpen, "quorvel-Init: open device failed.");
  }
  ConnectionFactory& factory = context.Factory();
  CNUcEchoConnection* echo = factory.EchoConnection();
  if (echo != nullptr && echo->IsRunning()) return S_OK;
  // An echo connection that no longer runs is replaced: 0 means a heartbeat runs.
  factory.EndEcho();
  return StartEcho(foundOpen);
}

void UnInitLocked() QRV_REQUIRES(ProcessLock()) {
  ProcessContext& context = ProcessContext::Get();
  if (!context.DeviceOpen()) return;
  context.Factory().EndServices();
  context.Factory().EndEcho();
  LogChannel::Instance().Print("%s", "quorvel-UnInit: ok.");
  LogChannel::Instance().Shutdown();
  context.CloseDevice();
}

constexpr const char* kRegisterPrefix = "quorvel-Register( ";
constexpr const char* kUnregisterPrefix = "quorvel-Unregister( ";

void LogService(const char* prefix, uint32_t serviceId, const char* suffix) {
  LogChannel::Instance().Print("%s%d%s", prefix, serviceId, suffix);
}

// True, before the lock, for a thread that must not run an entry point: a
// library thread (it would wait for itself or for a stop that waits for it)
// or one already inside an entry point (it would tear state down under it).
// Logs one line, `head` first, unless the thread is logging a refusal
// already (a sink that calls an entry point per line would recurse without
// end). The texts are an interface listed in quorvel.h.
bool Refused(const char* head, const uint32_t* serviceId, const char* verb) {
  const char* where = HasThreadMark(kLibraryThread) ? "on a library thread (inside a callback)."
                      : HasThreadMark(kInsideEntryPoint) ? "inside an entry point."
                                                         : nullptr;
  if (where == nullptr) return false;
  if (HasThreadMark(kLoggingRefusal)) return true;
  ScopedThreadMark logging(kLoggingRefusal);
  if (serviceId == nullptr) {
    LogChannel::Instance().Print("%s%s %s", head, verb, where);
  } else {
    LogChannel::Instance().Print("%s%d ): %s %s", head, *serviceId, verb, where);
  }
  return true;
}

HRESULT RegisterLocked(uint32_t serviceId, UcServiceCallback callback, void* context)
    QRV_REQUIRES(ProcessLock()) {
  ProcessContext& process = ProcessContext::Get();
  if (serviceId >= QUORVEL_MAX_SERVICES || callback == nullptr || !process.DeviceOpen()) {
    return E_FAIL;
  }
  ConnectionFactory& factory = process.Factory();
  if (CNUcCommuniateConnection* filed = factory.FindServiceConnection(serviceId, false)) {
    if (filed->IsRunning()) {
      LogService(kRegisterPrefix, serviceId, " ): connection has been created.");
      return S_OK;
    }
    // Filed but serving nothing: replaced, with this call's callback and context.
    factory.End(factory.FindServiceConnection(serviceId, true));
  }
  CNUcCommuniateConnection* connection =
      factory.CreateServiceConnection(process.Device(), serviceId, callback, context);
  if (connection == nullptr) {
    LogService(kRegisterPrefix, serviceId, " ): create commmunication connection unsuccessfully.");
    return E_FAIL;
  }
  if (connection->Start()) {
    LogService(kRegisterPrefix, serviceId, " ): success.");
    return S_OK;
  }
  // The stopped connection stays filed until Unregister or UnInit.
  LogService(kRegisterPrefix, serviceId, " ): start working unsuccessfully.");
  ConnectionFactory::Halt(connection);
  return E_FAIL;
}

HRESULT UnregisterLocked(uint32_t serviceId) QRV_REQUIRES(ProcessLock()) {
  ProcessContext& context = ProcessContext::Get();
  if (!context.DeviceOpen()) return E_FAIL;
  ConnectionFactory& factory = context.Factory();
  CNUcCommuniateConnection* connection = factory.FindServiceConnection(serviceId, true);
  if (connection == nullptr) {
    LogService(kUnregisterPrefix, serviceId,
               " ): connection hasn't been registered or has been removed.");
    return E_FAIL;
  }
  factory.End(connection);
  LogService(kUnregisterPrefix, serviceId, " ): ok.");
  return S_OK;
}

// Marks the thread as inside an entry point and holds the process-wide lock.
// On entry it settles a pending heartbeat loss, so that a Register returning
// 0 is never stopped by an earlier loss; on entry and exit it reclaims what
// the driver let go of, so no late-granted port outlives the next entry point.
class QRV_SCOPED_CAPABILITY EntryLock {
 public:
  EntryLock() QRV_ACQUIRE(ProcessLock()) : inside_(kInsideEntryPoint), guard_(ProcessLock()) {
    ProcessContext::Get().Factory().SettleHeartbeatLoss();
    DeviceRequest::ReclaimAbandoned(ProcessContext::Get().Device());
  }
  EntryLock(const EntryLock&) = delete;
  EntryLock& operator=(const EntryLock&) = delete;
  ~EntryLock() QRV_RELEASE() { DeviceRequest::ReclaimAbandoned(ProcessContext::Get().Device()); }

 private:
  ScopedThreadMark inside_;  // set before the lock is taken, cleared after it is left
  LockGuard guard_;
};

}  // namespace

extern "C" {

QUORVEL_EXPORT HRESULT WINAPI Init(uint32_t /*unused*/) {
  if (Refused("quorvel-Init: ", nullptr, "refused")) return E_FAIL;
  EntryLock lock;
  return InitLocked();
}

QUORVEL_EXPORT void WINAPI UnInit() {
  if (Refused("quorvel-UnInit: ", nullptr, "ignored")) return;
  EntryLock lock;
  UnInitLocked();
}

QUORVEL_EXPORT HRESULT WINAPI Register(uint32_t serviceId, UcServiceCallback callback,
                                       void* context) {
  if (Refused(kRegisterPrefix, &serviceId, "refused")) return E_FAIL;
  EntryLock lock;
  return RegisterLocked(serviceId, callback, context);
}

QUORVEL_EXPORT HRESULT WINAPI Unregister(uint32_t serviceId) {
  if (serviceId >= QUORVEL_MAX_SERVICES || Refused(kUnregisterPrefix, &serviceId, "refused")) {
    return E_FAIL;
  }
  EntryLock lock;
  return UnregisterLocked(serviceId);
}

}  // extern "C"

}  // namespace qrv
