#include "diagnostics/log_channel.h"

#include "diagnostics/component_library.h"
#include "platform/exception_guard.h"

namespace {

constexpr HRESULT kFrameworkUnbound = -1;

// Finds the framework's create-instance entry; null when unbound. The
// binding is confirmed first: the host may have freed the framework since
// the last Open. A table destroyed at unload ("Dead Reference Detected")
// counts as unbound.
ComponentLibrary::CoCreateInstanceEntry FindCreateInstance() QRV_REQUIRES(ProcessLock()) {
  ComponentLibrary* library = ComponentLibrary::Instance();
  if (library == nullptr || !library->ConfirmBinding()) return nullptr;
  return library->CoCreateInstance();
}

struct PrintCall {
  ILogSink* sink;
  const char* format;
  va_list* arguments;
  LONG result;
};

QRV_CALLS_FOREIGN_INTERFACES void CallVPrint(void* context) {
  auto* call = static_cast<PrintCall*>(context);
  call->result = call->sink->VPrint(call->format, *call->arguments);
}

}  // namespace

HRESULT LogChannel::Open() {
  if (ready_.load(std::memory_order_acquire)) return 0;
  return Bind();
}

QRV_CALLS_FOREIGN_INTERFACES HRESULT LogChannel::Bind() {
  ComponentLibrary::CoCreateInstanceEntry createInstance = FindCreateInstance();
  if (createInstance == nullptr) return kFrameworkUnbound;
  ILogComponent* component = nullptr;
  HRESULT result =
      createInstance(&CLSID_LogComponent, &IID_ILogComponent, reinterpret_cast<void**>(&component));
  if (result < 0) return result;
  component_ = component;
  sinkId_ = kSinkId;
  ILogSink* sink = nullptr;
  result = component_->CreateSink(kSinkId, &sink);
  if (result < 0) {
    component_->Release();
    component_ = nullptr;
    return result;
  }
  sink_.store(sink, std::memory_order_release);
  ready_.store(true, std::memory_order_release);
  return result;
}

HRESULT LogChannel::Print(const char* format, ...) {
  ILogSink* sink = sink_.load(std::memory_order_acquire);
  if (!ready_.load(std::memory_order_acquire) || format == nullptr || sink == nullptr) {
    return E_FAIL;
  }
  va_list arguments;
  va_start(arguments, format);
  PrintCall call{sink, format, &arguments, E_FAIL};
  bool returned = CallGuarded(&CallVPrint, &call, GuardScope::kEverything);
  va_end(arguments);
  return returned ? call.result : E_FAIL;
}

QRV_CALLS_FOREIGN_INTERFACES void LogChannel::Shutdown() {
  if (!ready_.load(std::memory_order_acquire)) return;
  ILogSink* sink = sink_.exchange(nullptr, std::memory_order_acq_rel);
  if (sink != nullptr) component_->DestroySink(sinkId_, sink);
  if (component_ != nullptr) {
    component_->Release();
    component_ = nullptr;
  }
  ready_.store(false, std::memory_order_release);
}
