// Calls that must not let an exception reach the caller.
#ifndef QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
#define QUORVEL_PLATFORM_EXCEPTION_GUARD_H_

#include <cstdint>

#include "platform/result.h"

namespace qrv {

// The code Windows gives a C++ exception, whichever compiler raised it.
constexpr uint32_t kCppExceptionCode = 0xE06D7363;

enum class GuardScope {
  // C++ exceptions of any runtime (on Windows, MSVC's arrive as structured
  // exceptions with kCppExceptionCode). Processor faults pass through.
  kCppExceptions,
  // Also, on Windows, faults and every other structured exception except
  // those whose swallowing breaks what follows (stack overflow, debugger
  // traps, corrupted memory, a lock wait): these reach the host.
  kEverything,
};

// Runs call(context). Fails with the exception's code (kCppExceptionCode for
// this module's runtime) when an exception within `scope` escaped it; the
// exception is swallowed after its frames are unwound and a C++ exception's
// object destroyed as a catch-all would.
Result CallGuarded(void (*call)(void* context), void* context, GuardScope scope);

// Runs call() as above.
template <typename Call>
Result CallGuarded(Call call, GuardScope scope) {
  return CallGuarded([](void* target) { (*static_cast<Call*>(target))(); }, &call, scope);
}

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
