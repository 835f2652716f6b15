// Faults the stand-in raises on purpose, the way the library meets them
// from a framework built by another compiler.
#ifndef QUORVEL_SIM_FRAMEWORK_FAULT_H_
#define QUORVEL_SIM_FRAMEWORK_FAULT_H_

#include "px_control.h"

namespace pxcom {

// True when `fault` can be raised on this platform.
bool FaultAvailable(int32_t fault);

// Raises `fault` on the calling thread; returns only for PX_FAULT_NONE.
void InjectFault(PxFault fault);

}  // namespace pxcom

#endif  // QUORVEL_SIM_FRAMEWORK_FAULT_H_
