#include "diagnostics/framework_calls.h"

#include "platform/exception_guard.h"

namespace qrv {

// Another compiler's C++ exceptions arrive as structured exceptions; these
// and faults would unwind past this library's lock guards unless caught.
namespace {

constexpr GuardScope kFrameworkScope = GuardScope::kEverything;

template <typename Object, typename Create>
HRESULT GuardedCreate(Object** object, Create create) {
  HRESULT result = E_FAIL;
  Object* created = nullptr;
  const bool returned =
      CallGuarded([&] { result = create(&created); }, kFrameworkScope).Succeeded();
  *object = returned ? created : nullptr;
  return returned ? result : E_FAIL;
}

// Dropped: nothing the framework did when it raised can be undone.
template <typename Call>
void GuardedVoid(Call call) {
  static_cast<void>(CallGuarded(call, kFrameworkScope));
}

}  // namespace

HRESULT GuardedCreateInstance(ComponentLibrary::CoCreateInstanceEntry createInstance,
                              ILogComponent** component) {
  return GuardedCreate(component, [&](ILogComponent** created) {
    return createInstance(&CLSID_LogComponent, &IID_ILogComponent,
                          reinterpret_cast<void**>(created));
  });
}

HRESULT GuardedCreateSink(ILogComponent* component, LONG sinkId, ILogSink** sink) {
  return GuardedCreate(sink, [&](ILogSink** created) QRV_CALLS_FOREIGN_INTERFACES {
    return component->CreateSink(sinkId, created);
  });
}

void GuardedDestroySink(ILogComponent* component, LONG sinkId, ILogSink* sink) {
  GuardedVoid([&]() QRV_CALLS_FOREIGN_INTERFACES { component->DestroySink(sinkId, sink); });
}

void GuardedRelease(ILogComponent* component) {
  GuardedVoid([&]() QRV_CALLS_FOREIGN_INTERFACES { component->Release(); });
}

void GuardedPrint(ILogSink* sink, const char* format, va_list arguments) {
  GuardedVoid([&]() QRV_CALLS_FOREIGN_INTERFACES { sink->VPrint(format, arguments); });
}

}  // namespace qrv
