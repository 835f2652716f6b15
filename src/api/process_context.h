// The one owner of the library's process state.
#ifndef QUORVEL_API_PROCESS_CONTEXT_H_
#define QUORVEL_API_PROCESS_CONTEXT_H_

#include "api/connection_factory.h"
#include "diagnostics/component_library.h"
#include "diagnostics/log_channel.h"
#include "platform/owned_handle.h"
#include "platform/process_lock.h"
#include "platform/result.h"
#include "platform/static_object.h"

namespace qrv {

// Created when the module attaches and released when it detaches; it holds
// the control device, as an owned handle, and the connection registry
// (ConnectionFactory::Instance()), whose connections borrow the device and
// never close it. It also decides the life of what the lower layers keep in
// static storage of their own: the process-wide lock (ProcessLock()), the log
// channel (LogChannel::Instance()) and the framework table it binds through
// (ComponentLibrary::Instance()), which it creates at attach and destroys at
// detach. Everything else borrows from these.
//
// INVARIANT: the device is closed only when no connection is filed and no
// connection thread is left that could use it. Windows hands a closed
// handle's value to the next object created, so a request through a stale
// device handle would reach an unrelated object.
class ProcessContext {
 public:
  ProcessContext(const ProcessContext&) = delete;
  ProcessContext& operator=(const ProcessContext&) = delete;

  // Constructs the context in static storage (no heap, nothing that can
  // throw); called once, by the module's attach, before any entry point.
  static void Attach();
  // Closes the device if it is still open and deletes the lock. The
  // connections still filed, and the slot that marks library threads, are
  // released too, but only when no library thread runs: at a real unload none can (each holds a
  // reference on the module); at process exit they may, and they are left alone.
  static void Detach();
  static ProcessContext& Get();

  bool DeviceOpen() const QRV_REQUIRES(ProcessLock()) { return device_.IsOpen(); }
  HANDLE Device() const QRV_REQUIRES(ProcessLock()) { return device_.Get(); }
  // Opens the control device; on failure the device stays closed and the
  // result holds CreateFileW's error.
  Result OpenDevice() QRV_REQUIRES(ProcessLock());
  // Closes the device when the invariant allows it and returns true; leaves
  // it open and returns false while a connection could still use it.
  bool CloseDevice() QRV_REQUIRES(ProcessLock());

  // Frees what the library abandoned to the driver once the driver has let
  // go of it, giving back what it granted late
  // (DeviceRequest::ReclaimAbandoned).
  void ReclaimAbandoned() QRV_REQUIRES(ProcessLock());

  ConnectionFactory& Factory() { return factory_; }

 private:
  ProcessContext() = default;
  ~ProcessContext() = default;

  OwnedHandle device_ QRV_GUARDED_BY(ProcessLock()){INVALID_HANDLE_VALUE};
  ConnectionFactory factory_;

  friend class StaticObject<ProcessContext>;
};

}  // namespace qrv

#endif  // QUORVEL_API_PROCESS_CONTEXT_H_
