// The seam's side of the creation-failure test hooks of device.h.
#ifndef QUORVEL_PLATFORM_POSIX_CREATION_FAILURES_H_
#define QUORVEL_PLATFORM_POSIX_CREATION_FAILURES_H_

#include "platform/win32.h"

namespace qrv {
namespace posix {

enum class CreationKind { kEvent, kThread };

// Called right before an object of the kind is created. Returns true with
// *error when a hook makes this creation fail; otherwise counts it as one
// more successful creation. Thread-safe.
bool CreationMustFail(CreationKind kind, DWORD* error);

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_CREATION_FAILURES_H_
