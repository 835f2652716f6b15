#include "api/process_context.h"

#include <new>

#include "connection/device_request.h"
#include "connection/protocol.h"
#include "platform/module_thread.h"
#include "platform/thread_mark.h"

namespace qrv {

namespace {

// Static storage rather than a heap object or a function-local static: the
// context exists exactly from attach to detach, its construction cannot fail
// or throw, and no guard variable or exit-time destructor is involved.
alignas(ProcessContext) unsigned char storage[sizeof(ProcessContext)];
ProcessContext* context = nullptr;
}  // namespace

void ProcessContext::Attach() { context = new (storage) ProcessContext(); }

// Takes no lock: at detach no entry point can run, and at process exit the
// lock may belong to a thread that has been terminated.
void ProcessContext::Detach() QRV_NO_THREAD_SAFETY_ANALYSIS {
  ProcessContext& self = Get();
  if (RunningModuleThreads() == 0) {
    self.factory_.ReleaseAtUnload();
    ReleaseThreadMarks();
  }
  self.device_.Close();
  self.ReleaseFramework();
  self.~ProcessContext();
  context = nullptr;
}

ProcessContext& ProcessContext::Get() { return *context; }

// The accessors of what the context owns are defined by the owner, so that
// the lower layers never include it.
AwaitableLock& ProcessLock() { return ProcessContext::Get().lock_; }
LogChannel& LogChannel::Instance() { return ProcessContext::Get().Log(); }
ComponentLibrary* ComponentLibrary::Instance() { return ProcessContext::Get().Framework(); }
void ComponentLibrary::DestroyInstance() { ProcessContext::Get().ReleaseFramework(); }

Result ProcessContext::OpenDevice() {
  device_.Reset(CreateFileW(kControlDevicePath, kControlDeviceAccess, kControlDeviceShareMode,
                            nullptr, kControlDeviceDisposition, kControlDeviceFlags, nullptr));
  return device_.Get() == INVALID_HANDLE_VALUE ? Result::LastError() : Result::Success();
}

bool ProcessContext::CloseDevice() {
  if (factory_.UsesDevice()) return false;
  DeviceRequest::ForgetLateCompletions();
  device_.Close();
  device_.Reset(INVALID_HANDLE_VALUE);
  return true;
}

void ProcessContext::SettleLateGrants() {
  if (device_.IsOpen()) DeviceRequest::SettleLateCompletions(device_.Get());
}

ComponentLibrary* ProcessContext::Framework() {
  if (framework_ == nullptr && !frameworkReleased_) {
    framework_ = new (frameworkStorage_) ComponentLibrary();
  }
  return framework_;
}

void ProcessContext::ReleaseFramework() {
  if (framework_ != nullptr) framework_->~ComponentLibrary();
  framework_ = nullptr;
  frameworkReleased_ = true;
}

}  // namespace qrv
