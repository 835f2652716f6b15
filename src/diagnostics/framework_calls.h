// Calls into the component framework's code, each through the exception guard.
#ifndef QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_
#define QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_

#include <cstdarg>

#include "diagnostics/component_library.h"
#include "diagnostics/log_interfaces.h"

namespace qrv {

// Each swallows whatever the call raises (a C++ exception of any runtime, a
// fault); the creating calls then return E_FAIL and a null out-parameter,
// otherwise the framework's result.
HRESULT GuardedCreateInstance(ComponentLibrary::CoCreateInstanceEntry createInstance,
                              ILogComponent** component);
HRESULT GuardedCreateSink(ILogComponent* component, LONG sinkId, ILogSink** sink);
void GuardedDestroySink(ILogComponent* component, LONG sinkId, ILogSink* sink);
void GuardedRelease(ILogComponent* component);
void GuardedPrint(ILogSink* sink, const char* format, va_list arguments);

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_
