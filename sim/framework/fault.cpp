#include "fault.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdexcept>
#endif

namespace pxcom {

bool FaultAvailable(int32_t fault) {
  switch (fault) {
    case PX_FAULT_NONE:
    case PX_FAULT_THROW:
      return true;
#if defined(_WIN32)
    case PX_FAULT_ACCESS_VIOLATION:
      return true;
#endif
    default:
      return false;
  }
}

// A C++ exception from a module built like the library on Linux; on
// Windows, the structured exception an MSVC-built module raises for a C++
// throw (a GCC throw cannot cross into another module's runtime), or a
// processor fault.
void InjectFault(PxFault fault) {
  switch (fault) {
    case PX_FAULT_NONE:
      return;
    case PX_FAULT_THROW:
#if defined(_WIN32)
      RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#else
      throw std::runtime_error("pxcom: fault injected");
#endif
      return;
    case PX_FAULT_ACCESS_VIOLATION: {
      // Volatile, so the compiler cannot see the null and replace the write
      // with a trap instruction.
      volatile int* volatile target = nullptr;
      *target = 0;
      return;
    }
  }
}

}  // namespace pxcom
