#include "api/process_context.h"

#include "connection/device_request.h"
#include "connection/protocol.h"
#include "platform/module_thread.h"
#include "platform/thread_mark.h"

namespace qrv {

namespace {
StaticObject<ProcessContext> context;
}  // namespace

void ProcessContext::Attach() {
  CreateProcessLock();
  LogChannel::Create();
  context.Create();
}

// Takes no lock: at detach no entry point can run, and at process exit the
// lock may belong to a thread that has been terminated.
void ProcessContext::Detach() QRV_NO_THREAD_SAFETY_ANALYSIS {
  ProcessContext& self = Get();
  if (RunningModuleThreads() == 0) {
    self.factory_.ReleaseAtUnload();
    ReleaseThreadMarks();
  }
  self.device_.Close();
  ComponentLibrary::DestroyInstance();
  context.Destroy();
  LogChannel::Destroy();
  DestroyProcessLock();
}

ProcessContext& ProcessContext::Get() { return *context.Get(); }

Result ProcessContext::OpenDevice() {
  device_.Reset(CreateFileW(kControlDevicePath, kControlDeviceAccess, kControlDeviceShareMode,
                            nullptr, kControlDeviceDisposition, kControlDeviceFlags, nullptr));
  return device_.Get() == INVALID_HANDLE_VALUE ? Result::LastError() : Result::Success();
}

bool ProcessContext::CloseDevice() {
  if (factory_.UsesDevice()) return false;
  DeviceRequest::ReclaimAbandoned(INVALID_HANDLE_VALUE);
  device_.Close();
  device_.Reset(INVALID_HANDLE_VALUE);
  return true;
}

void ProcessContext::ReclaimAbandoned() { DeviceRequest::ReclaimAbandoned(device_.Get()); }

}  // namespace qrv
