#include "platform/exception_guard.h"

namespace qrv {

// POSIX reports processor faults as signals, never as exceptions, so both
// scopes catch the same: every C++ exception.
bool CallGuarded(void (*call)(void* context), void* context, GuardScope) {
  try {
    call(context);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qrv
