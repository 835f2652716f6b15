// Calls into the component framework's code, each through the exception
// guard.
#ifndef QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_
#define QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_

#include "diagnostics/component_library.h"
#include "diagnostics/log_interfaces.h"

namespace qrv {

// Each returns the framework's result, or E_FAIL when the call raised
// anything the guard catches (a C++ exception of any runtime, a processor
// fault); out-parameters are then left null, whatever the call wrote. The
// exception never reaches the caller, so a caller holding a lock keeps
// control of it.
HRESULT GuardedCreateInstance(ComponentLibrary::CoCreateInstanceEntry createInstance,
                              ILogComponent** component);
HRESULT GuardedCreateSink(ILogComponent* component, LONG sinkId, ILogSink** sink);
// False when the call raised.
bool GuardedDestroySink(ILogComponent* component, LONG sinkId, ILogSink* sink);
bool GuardedRelease(ILogComponent* component);

}  // namespace qrv

#endif  // QUORVEL_DIAGNOSTICS_FRAMEWORK_CALLS_H_
