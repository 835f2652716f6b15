// The four exported entry points. Each runs under the process-wide lock,
// held through RAII, and never lets an exception reach the host: an
// exception that escapes a body makes the entry point return E_FAIL.
#include "api/exports.h"

#include "api/connection_factory.h"
#include "api/process_state.h"
#include "connection/echo_connection.h"
#include "connection/protocol.h"
#include "connection/service_connection.h"
#include "diagnostics/log_channel.h"
#include "platform/lock_guard.h"

#if defined(_WIN32)
#define QUORVEL_EXPORT
#else
#define QUORVEL_EXPORT __attribute__((visibility("default")))
#endif

namespace {

HRESULT FailInit(LogChannel& log) {
  if (DeviceHandle() != INVALID_HANDLE_VALUE) {
    CloseHandle(DeviceHandle());
    SetDeviceHandle(INVALID_HANDLE_VALUE);
  }
  log.Shutdown();
  return E_FAIL;
}

HRESULT StartEcho(ConnectionFactory* factory, LogChannel& log) {
  CNUcEchoConnection* echo = factory->CreateEchoConnection();
  if (echo == nullptr) {
    log.Print("%s", "quorvel-Init: create echo connnection failed.");
    return FailInit(log);
  }
  if (echo->Start()) {
    log.Print("%s", "quorvel-Initialize successfully.");
    return S_OK;
  }
  log.Print("%s", "quorvel-Init: start echo failed.");
  echo->Stop();
  echo->Close();
  return FailInit(log);
}

HRESULT InitLocked() {
  LogChannel& log = LogChannel::Instance();
  log.Open();
  if (DeviceHandle() == INVALID_HANDLE_VALUE) {
    SetDeviceHandle(CreateFileW(kControlDevicePath, kControlDeviceAccess, kControlDeviceShareMode,
                                nullptr, kControlDeviceDisposition, kControlDeviceFlags, nullptr));
    if (DeviceHandle() == INVALID_HANDLE_VALUE) {
      log.Print("%s", "quorvel-Init: open device failed.");
      return FailInit(log);
    }
  }
  ConnectionFactory* factory = ConnectionFactory::Instance();
  if (factory == nullptr) {
    log.Print("%s", "quorvel-Init:  get facotry instance failed.");
    return FailInit(log);
  }
  CNUcEchoConnection* echo = factory->EchoConnection();
  if (echo != nullptr && echo->IsRunning()) return S_OK;
  // A recorded echo connection that does not run (its Start failed, or its
  // heartbeat was lost) is replaced, so that 0 always means a heartbeat runs.
  factory->DestroyEchoConnection();
  return StartEcho(factory, log);
}

void UnInitLocked() {
  if (DeviceHandle() == INVALID_HANDLE_VALUE) return;
  if (ConnectionFactory* factory = ConnectionFactory::Instance()) {
    factory->DestroyAllConnections();
    LogChannel::Instance().Print("%s", "quorvel-UnInit: ok.");
    LogChannel::Instance().Shutdown();
  }
  CloseHandle(DeviceHandle());
  SetDeviceHandle(INVALID_HANDLE_VALUE);
}

void LogService(const char* prefix, uint32_t serviceId, const char* suffix) {
  LogChannel::Instance().Print("%s%d%s", prefix, serviceId, suffix);
}

HRESULT RegisterLocked(uint32_t serviceId, UcServiceCallback callback, void* context) {
  constexpr const char* kPrefix = "quorvel-Register( ";
  if (serviceId >= QUORVEL_MAX_SERVICES || callback == nullptr ||
      DeviceHandle() == INVALID_HANDLE_VALUE) {
    return E_FAIL;
  }
  ConnectionFactory* factory = ConnectionFactory::Instance();
  if (CNUcCommuniateConnection* filed = factory->FindServiceConnection(serviceId, false)) {
    if (filed->IsRunning()) {
      LogService(kPrefix, serviceId, " ): connection has been created.");
      return S_OK;
    }
    // Filed but serving nothing (its Start failed, or all its workers have
    // ended): replaced by a new one with this call's callback and context.
    EndConnection(factory->FindServiceConnection(serviceId, true));
  }
  CNUcCommuniateConnection* connection =
      factory->CreateServiceConnection(serviceId, callback, context);
  if (connection == nullptr) {
    LogService(kPrefix, serviceId, " ): create commmunication connection unsuccessfully.");
    return E_FAIL;
  }
  if (connection->Start()) {
    LogService(kPrefix, serviceId, " ): success.");
    return S_OK;
  }
  // The stopped connection stays filed until Unregister or UnInit.
  LogService(kPrefix, serviceId, " ): start working unsuccessfully.");
  connection->Stop();
  connection->Close();
  return E_FAIL;
}

HRESULT UnregisterLocked(uint32_t serviceId) {
  constexpr const char* kPrefix = "quorvel-Unregister( ";
  if (DeviceHandle() == INVALID_HANDLE_VALUE) return E_FAIL;
  CNUcCommuniateConnection* connection =
      ConnectionFactory::Instance()->FindServiceConnection(serviceId, true);
  if (connection == nullptr) {
    LogService(kPrefix, serviceId, " ): connection hasn't been registered or has been removed.");
    return E_FAIL;
  }
  EndConnection(connection);
  LogService(kPrefix, serviceId, " ): ok.");
  return S_OK;
}

}  // namespace

extern "C" {

QUORVEL_EXPORT HRESULT WINAPI Init(uint32_t /*unused*/) {
  try {
    LockGuard guard(ProcessLock());
    return InitLocked();
  } catch (...) {
    return E_FAIL;
  }
}

QUORVEL_EXPORT void WINAPI UnInit() {
  try {
    LockGuard guard(ProcessLock());
    UnInitLocked();
  } catch (...) {
  }
}

QUORVEL_EXPORT HRESULT WINAPI Register(uint32_t serviceId, UcServiceCallback callback,
                                       void* context) {
  try {
    LockGuard guard(ProcessLock());
    return RegisterLocked(serviceId, callback, context);
  } catch (...) {
    return E_FAIL;
  }
}

QUORVEL_EXPORT HRESULT WINAPI Unregister(uint32_t serviceId) {
  if (serviceId >= QUORVEL_MAX_SERVICES) return E_FAIL;
  try {
    LockGuard guard(ProcessLock());
    return UnregisterLocked(serviceId);
  } catch (...) {
    return E_FAIL;
  }
}

}  // extern "C"
