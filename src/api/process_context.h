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

// Created when the module attaches and released when it detaches; everything
// else borrows from it:
//   - the process-wide lock (ProcessLock());
//   - the control device, as an owned handle;
//   - the connection registry (ConnectionFactory::Instance()), whose
//     connections borrow the device and never close it;
//   - the log channel (LogChannel::Instance()) and the framework table it
//     binds through (ComponentLibrary::Instance()).
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

  // Gives back what the driver granted to requests the library abandoned
  // (DeviceRequest::SettleLateCompletions); nothing while the device is
  // closed.
  void SettleLateGrants() QRV_REQUIRES(ProcessLock());

  ConnectionFactory& Factory() { return factory_; }
  LogChannel& Log() { return log_; }
  // The framework table, created and bound on first use; null once the
  // context has been released ("Dead Reference Detected": nothing is created
  // again after unload).
  ComponentLibrary* Framework() QRV_REQUIRES(ProcessLock());
  // Destroys the framework table for good; part of the release at detach.
  void ReleaseFramework() QRV_REQUIRES(ProcessLock());

 private:
  ProcessContext() = default;
  ~ProcessContext() = default;

  AwaitableLock lock_;
  OwnedHandle device_ QRV_GUARDED_BY(ProcessLock()){INVALID_HANDLE_VALUE};
  ConnectionFactory factory_;
  LogChannel log_;
  ComponentLibrary* framework_ QRV_GUARDED_BY(ProcessLock()) = nullptr;
  bool frameworkReleased_ QRV_GUARDED_BY(ProcessLock()) = false;
  alignas(ComponentLibrary) unsigned char frameworkStorage_[sizeof(ComponentLibrary)];

  friend AwaitableLock& ProcessLock();
};

}  // namespace qrv

#endif  // QUORVEL_API_PROCESS_CONTEXT_H_
