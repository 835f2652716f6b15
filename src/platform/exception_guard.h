// Calls that must not let an exception reach the caller.
#ifndef QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
#define QUORVEL_PLATFORM_EXCEPTION_GUARD_H_

enum class GuardScope {
  // C++ exceptions: those of this module's runtime, and on Windows those that
  // MSVC-built code raises as structured exceptions (code 0xE06D7363).
  // Processor faults pass through.
  kCppExceptions,
  // Additionally, on Windows, processor faults such as access violations.
  kEverything,
};

// Runs call(context). Returns true when it returned normally, false when an
// exception within `scope` escaped it; the exception is swallowed.
bool CallGuarded(void (*call)(void* context), void* context, GuardScope scope);

#endif  // QUORVEL_PLATFORM_EXCEPTION_GUARD_H_
