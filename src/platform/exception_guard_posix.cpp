#include "platform/exception_guard.h"

namespace qrv {

// POSIX reports processor faults as signals, never as exceptions, so both
// scopes catch the same: every C++ exception.
Result CallGuarded(void (*call)(void* context), void* context, GuardScope) {
  try {
    call(context);
    return Result::Success();
  } catch (...) {
    return Result::Failure(kCppExceptionCode);
  }
}

}  // namespace qrv
