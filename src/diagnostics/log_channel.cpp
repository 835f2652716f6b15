#include "diagnostics/log_channel.h"

#include "diagnostics/component_library.h"
#include "diagnostics/framework_calls.h"

namespace qrv {

constexpr HRESULT kFrameworkUnbound = -1;
constexpr LONG kSinkId = 4;

// The reference stops a host that frees the framework from unmapping the
// component and sink under a printing thread. Only Shutdown drops it, never
// detach: FreeLibrary under the loader lock could run the framework's detach.
HRESULT LogChannel::Open() {
  if (ready_.load(std::memory_order_acquire)) return 0;
  // A table that is gone counts as unbound; a bound one has the entry.
  ComponentLibrary* library = ComponentLibrary::Instance();
  HMODULE framework = library != nullptr ? library->AcquireBinding() : nullptr;
  if (framework == nullptr) return kFrameworkUnbound;
  const HRESULT result = CreateComponentAndSink(library->CoCreateInstance());
  if (result < 0) {
    FreeLibrary(framework);
    return result;
  }
  framework_ = framework;
  ready_.store(true, std::memory_order_release);
  return result;
}

// A raising call counts as a failing one: the component is released either way.
HRESULT LogChannel::CreateComponentAndSink(ComponentLibrary::CoCreateInstanceEntry createInstance) {
  ILogComponent* component = nullptr;
  HRESULT result = GuardedCreateInstance(createInstance, &component);
  if (result < 0) return result;
  if (component == nullptr) return E_FAIL;  // a success with nothing to call
  component_ = component;
  ILogSink* sink = nullptr;
  result = GuardedCreateSink(component_, kSinkId, &sink);
  if (result < 0) {
    GuardedRelease(component_);
    component_ = nullptr;
    return result;
  }
  sink_.store(sink, std::memory_order_release);
  return result;
}

void LogChannel::Print(const char* format, ...) {
  ILogSink* sink = sink_.load(std::memory_order_acquire);
  if (!ready_.load(std::memory_order_acquire) || format == nullptr || sink == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  GuardedPrint(sink, format, arguments);
  va_end(arguments);
}

void LogChannel::Shutdown() {
  if (!ready_.load(std::memory_order_acquire)) return;
  ILogSink* sink = sink_.exchange(nullptr, std::memory_order_acq_rel);
  if (sink != nullptr) GuardedDestroySink(component_, kSinkId, sink);
  if (component_ != nullptr) {
    GuardedRelease(component_);
    component_ = nullptr;
  }
  ready_.store(false, std::memory_order_release);
  FreeLibrary(framework_);
  framework_ = nullptr;
}

}  // namespace qrv
