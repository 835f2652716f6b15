#include "platform/process_lock.h"

#include "platform/static_object.h"

namespace qrv {

namespace {
StaticObject<AwaitableLock> lock;
}  // namespace

AwaitableLock& ProcessLock() { return *lock.Get(); }

void CreateProcessLock() { lock.Create(); }

void DestroyProcessLock() { lock.Destroy(); }

}  // namespace qrv
