// The one owner of the library's process state.
#ifndef QUORVEL_API_PROCESS_CONTEXT_H_
#define QUORVEL_API_PROCESS_CONTEXT_H_

#include "api/connection_factory.h"
#include "diagnostics/component_library.h"
#include "diagnostics/log_channel.h"
#include "platform/owned_handle.h"
#include "platform/process_lock.h"
#include "platform/result.h"

namespace qrv {

// Holds, in static storage from module attach to detach, the process-wide
// lock, the log channel, the framework table, the control device and the
// connection registry, whose connections borrow the device.
// INVARIANT: the device is closed only when no connection is filed and no
// connection thread could still use it: Windows reuses a closed handle's
// value, so a stale device handle would reach an unrelated object.
class ProcessContext {
 public:
  ProcessContext(const ProcessContext&) = delete;
  ProcessContext& operator=(const ProcessContext&) = delete;

  // Called once, by the module's attach, before any entry point. Fails with
  // TlsAlloc's error, and with it the module's load, when no thread-local slot
  // is left: a library thread that could not be marked would deadlock the
  // entry points it calls back into.
  static Result Attach();
  // Closes the device and destroys the context, if one was made; the filed
  // connections and the thread-mark slot go too when no library thread runs.
  static void Detach();
  static ProcessContext& Get();

  bool DeviceOpen() const QRV_REQUIRES(ProcessLock()) { return device_.IsOpen(); }
  HANDLE Device() const QRV_REQUIRES(ProcessLock()) { return device_.Get(); }
  // On failure the device stays closed.
  Result OpenDevice() QRV_REQUIRES(ProcessLock());
  // Closes the device and returns true when the invariant allows it.
  bool CloseDevice() QRV_REQUIRES(ProcessLock());

  ConnectionFactory& Factory() { return factory_; }

 private:
  ProcessContext() = default;
  ~ProcessContext() = default;

  AwaitableLock lock_;
  LogChannel log_;
  OwnedHandle device_ QRV_GUARDED_BY(ProcessLock()){INVALID_HANDLE_VALUE};
  ConnectionFactory factory_;
  // The table is made on first use and, once destroyed, never made again.
  ComponentLibrary* table_ QRV_GUARDED_BY(ProcessLock()) = nullptr;
  bool tableDestroyed_ QRV_GUARDED_BY(ProcessLock()) = false;
  alignas(ComponentLibrary) unsigned char tableStorage_[sizeof(ComponentLibrary)];

  friend AwaitableLock& ProcessLock();
  friend LogChannel& LogChannel::Instance();
  friend ComponentLibrary* ComponentLibrary::Instance();
  friend void ComponentLibrary::DestroyInstance();
};

}  // namespace qrv

#endif  // QUORVEL_API_PROCESS_CONTEXT_H_
