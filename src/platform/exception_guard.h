// Calls that must not let an exception reach the caller.
#ifndef QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
#define QUORVEL_PLATFORM_EXCEPTION_GUARD_H_

#include <cstdint>

namespace qrv {

// The code Windows gives a C++ exception, whichever compiler raised it.
constexpr uint32_t kCppExceptionCode = 0xE06D7363;

enum class GuardScope {
  // C++ exceptions: those of this module's runtime, and on Windows those that
  // MSVC-built code raises as structured exceptions (code 0xE06D7363).
  // Processor faults pass through.
  kCppExceptions,
  // Additionally, on Windows, processor faults such as access violations
  // and any other structured exception, except the few whose swallowing
  // would break what comes after (stack overflow, debugger traps, corrupted
  // heap or stack, a lock wait in progress): those pass on to the host.
  kEverything,
};

// Runs call(context). Returns true when it returned normally, false when an
// exception within `scope` escaped it; the exception is swallowed, after the
// frames it left have been unwound and, for a C++ exception, its object
// destroyed as a catch-all would destroy it. When it returns false and `code`
// is given, *code is the exception's code: the structured exception's, or
// kCppExceptionCode for a C++ exception of this module's runtime.
bool CallGuarded(void (*call)(void* context), void* context, GuardScope scope,
                 uint32_t* code = nullptr);

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
