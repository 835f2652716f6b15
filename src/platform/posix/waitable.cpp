#include "platform/posix/waitable.h"

#include <algorithm>
#include <memory>

#include "platform/posix/device.h"

namespace qrv {
namespace posix {

std::mutex& WaitLock() {
  // Leaked on purpose: threads may still wait or signal while static
  // destructors run at process exit.
  static std::mutex* lock = new std::mutex;
  return *lock;
}

void Waitable::Attach(Waiter* waiter) { waiters_.push_back(waiter); }

void Waitable::Detach(Waiter* waiter) {
  // A wait-all may name one object twice, so drop every registration.
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), waiter), waiters_.end());
}

void Waitable::Signal() {
  signalled_ = true;
  // Only the threads waiting for this object wake; each rechecks its own
  // condition, so an auto-reset event goes to exactly one of them.
  for (Waiter* waiter : waiters_) waiter->wake.notify_one();
}

size_t WaitsBlockedOn(HANDLE handle) {
  std::shared_ptr<Waitable> object =
      std::dynamic_pointer_cast<Waitable>(HandleTable::Instance().Find(handle));
  if (object == nullptr) return 0;
  std::lock_guard<std::mutex> lock(WaitLock());
  return object->Waiters();
}

}  // namespace posix
}  // namespace qrv
