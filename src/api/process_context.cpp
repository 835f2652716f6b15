#include "api/process_context.h"

#include <new>

#include "connection/device_request.h"
#include "connection/protocol.h"
#include "platform/module_thread.h"
#include "platform/thread_mark.h"

namespace qrv {

namespace {

// Raw static storage: the context is built at attach and destroyed at detach
// only, never by an exit-time destructor that could run under a thread still
// at work, and building it cannot fail or throw.
alignas(ProcessContext) unsigned char storage[sizeof(ProcessContext)];
ProcessContext* context = nullptr;

}  // namespace

Result ProcessContext::Attach() {
  const Result marks = TakeThreadMarks();
  if (marks.Succeeded()) context = new (storage) ProcessContext();
  return marks;
}

// Takes no lock: at detach no entry point can run, and at process exit the
// lock may belong to a thread that has been terminated.
void ProcessContext::Detach() QRV_NO_THREAD_SAFETY_ANALYSIS {
  if (context == nullptr) return;
  if (RunningModuleThreads() == 0) {
    context->factory_.ReleaseAtUnload();
    ReleaseThreadMarks();
  }
  context->device_.Close();
  ComponentLibrary::DestroyInstance();
  context->~ProcessContext();
  context = nullptr;
}

ProcessContext& ProcessContext::Get() { return *context; }

// The accessors of what the context holds are defined by their owner, so that
// the layers that declare them never include it.
AwaitableLock& ProcessLock() { return context->lock_; }

LogChannel& LogChannel::Instance() { return context->log_; }

ComponentLibrary* ComponentLibrary::Instance() {
  if (context->table_ == nullptr && !context->tableDestroyed_) {
    context->table_ = new (context->tableStorage_) ComponentLibrary();
  }
  return context->table_;
}

void ComponentLibrary::DestroyInstance() {
  if (context->table_ != nullptr) context->table_->~ComponentLibrary();
  context->table_ = nullptr;
  context->tableDestroyed_ = true;
}

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

}  // namespace qrv
