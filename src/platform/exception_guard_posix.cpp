#include "platform/exception_guard.h"

namespace qrv {

// POSIX reports processor faults as signals, never as exceptions, so both
// scopes catch the same: every C++ exception.
bool CallGuarded(void (*call)(void* context), void* context, GuardScope, uint32_t* code) {
  try {
    call(context);
    return true;
  } catch (...) {
    if (code != nullptr) *code = kCppExceptionCode;
    return false;
  }
}

}  // namespace qrv
