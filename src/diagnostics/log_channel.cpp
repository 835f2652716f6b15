#include "diagnostics/log_channel.h"

#include "diagnostics/component_library.h"
#include "diagnostics/framework_calls.h"

namespace qrv {

namespace {

constexpr HRESULT kFrameworkUnbound = -1;

StaticObject<LogChannel> channel;

// Finds the framework's create-instance entry and takes a reference on its
// module into *framework; null, holding nothing, when unbound. A table
// destroyed at unload ("Dead Reference Detected") counts as unbound.
ComponentLibrary::CoCreateInstanceEntry FindCreateInstance(HMODULE* framework)
    QRV_REQUIRES(ProcessLock()) {
  ComponentLibrary* library = ComponentLibrary::Instance();
  if (library == nullptr) return nullptr;
  *framework = library->AcquireBinding();
  return *framework != nullptr ? library->CoCreateInstance() : nullptr;
}

}  // namespace

LogChannel& LogChannel::Instance() { return *channel.Get(); }

void LogChannel::Create() { channel.Create(); }

void LogChannel::Destroy() { channel.Destroy(); }

HRESULT LogChannel::Open() {
  if (ready_.load(std::memory_order_acquire)) return 0;
  return Bind();
}

// The reference on the framework is held from a successful Open until
// Shutdown, so that a host freeing the framework meanwhile cannot unmap the
// component and sink under a printing thread. This departs from the
// reference-free binding the library was first described with, to mend that
// crash. It is dropped only by Shutdown, from Init or UnInit, never at
// detach: FreeLibrary under the loader lock could run the framework's own
// detach there, so a channel left open at unload keeps the framework loaded.
HRESULT LogChannel::Bind() {
  HMODULE framework = nullptr;
  ComponentLibrary::CoCreateInstanceEntry createInstance = FindCreateInstance(&framework);
  if (createInstance == nullptr) return kFrameworkUnbound;
  const HRESULT result = CreateComponentAndSink(createInstance);
  if (result < 0) {
    FreeLibrary(framework);
    return result;
  }
  framework_ = framework;
  ready_.store(true, std::memory_order_release);
  return result;
}

// A call that raised counts as one that failed: the component of a raising
// CreateSink is released like that of a failing one.
HRESULT LogChannel::CreateComponentAndSink(ComponentLibrary::CoCreateInstanceEntry createInstance) {
  ILogComponent* component = nullptr;
  HRESULT result = GuardedCreateInstance(createInstance, &component);
  if (result < 0) return result;
  if (component == nullptr) return E_FAIL;  // a success with nothing to call
  component_ = component;
  sinkId_ = kSinkId;
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

// A DestroySink or Release that raises still ends with the channel closed
// and the component and sink forgotten: nothing the framework did can be
// trusted or undone, and the channel's reference is dropped either way.
void LogChannel::Shutdown() {
  if (!ready_.load(std::memory_order_acquire)) return;
  ILogSink* sink = sink_.exchange(nullptr, std::memory_order_acq_rel);
  if (sink != nullptr) GuardedDestroySink(component_, sinkId_, sink);
  if (component_ != nullptr) {
    GuardedRelease(component_);
    component_ = nullptr;
  }
  ready_.store(false, std::memory_order_release);
  FreeLibrary(framework_);
  framework_ = nullptr;
}

}  // namespace qrv
