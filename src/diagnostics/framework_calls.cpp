#include "diagnostics/framework_calls.h"

#include "platform/exception_guard.h"

namespace qrv {

// A framework built by another compiler raises its C++ exceptions (an
// out-of-memory among them) as structured exceptions, and faults like any
// code. Unguarded, either would unwind straight past this library's frames,
// lock guards included, and leave the process-wide lock owned for good.
namespace {

struct FrameworkCall {
  ComponentLibrary::CoCreateInstanceEntry createInstance;
  ILogComponent* component;
  LONG sinkId;
  ILogSink* sink;
  HRESULT result;
};

QRV_CALLS_FOREIGN_INTERFACES void CreateInstance(void* context) {
  auto* call = static_cast<FrameworkCall*>(context);
  call->result = call->createInstance(&CLSID_LogComponent, &IID_ILogComponent,
                                      reinterpret_cast<void**>(&call->component));
}

QRV_CALLS_FOREIGN_INTERFACES void CreateSink(void* context) {
  auto* call = static_cast<FrameworkCall*>(context);
  call->result = call->component->CreateSink(call->sinkId, &call->sink);
}

QRV_CALLS_FOREIGN_INTERFACES void DestroySink(void* context) {
  auto* call = static_cast<FrameworkCall*>(context);
  call->component->DestroySink(call->sinkId, call->sink);
}

QRV_CALLS_FOREIGN_INTERFACES void Release(void* context) {
  static_cast<FrameworkCall*>(context)->component->Release();
}

bool Run(void (*run)(void*), FrameworkCall* call) {
  return CallGuarded(run, call, GuardScope::kEverything);
}

}  // namespace

HRESULT GuardedCreateInstance(ComponentLibrary::CoCreateInstanceEntry createInstance,
                              ILogComponent** component) {
  FrameworkCall call{createInstance, nullptr, 0, nullptr, E_FAIL};
  const bool returned = Run(&CreateInstance, &call);
  *component = returned ? call.component : nullptr;
  return returned ? call.result : E_FAIL;
}

HRESULT GuardedCreateSink(ILogComponent* component, LONG sinkId, ILogSink** sink) {
  FrameworkCall call{nullptr, component, sinkId, nullptr, E_FAIL};
  const bool returned = Run(&CreateSink, &call);
  *sink = returned ? call.sink : nullptr;
  return returned ? call.result : E_FAIL;
}

bool GuardedDestroySink(ILogComponent* component, LONG sinkId, ILogSink* sink) {
  FrameworkCall call{nullptr, component, sinkId, sink, S_OK};
  return Run(&DestroySink, &call);
}

bool GuardedRelease(ILogComponent* component) {
  FrameworkCall call{nullptr, component, 0, nullptr, S_OK};
  return Run(&Release, &call);
}

}  // namespace qrv
