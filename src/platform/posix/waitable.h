// Objects a thread can wait for, and the lock that guards all wait state.
#ifndef QUORVEL_PLATFORM_POSIX_WAITABLE_H_
#define QUORVEL_PLATFORM_POSIX_WAITABLE_H_

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/posix/kernel_object.h"

namespace qrv {
namespace posix {

// The one lock of the process that guards the signal state of every waitable
// object and every waiter registration. Never destroyed.
std::mutex& WaitLock();

// One waiting thread. It registers itself on each object it waits for, so
// that a signal wakes exactly the threads that wait for that object.
struct Waiter {
  std::condition_variable wake;
};

class Waitable : public KernelObject {
 public:
  // REQUIRES: WaitLock() is held (for all members below).
  bool Signalled() const { return signalled_; }
  // A wait was satisfied by this object: an auto-reset event clears itself.
  virtual void Consume() {}

  void Attach(Waiter* waiter);
  void Detach(Waiter* waiter);
  size_t Waiters() const { return waiters_.size(); }

 protected:
  // Sets the signal and wakes every registered waiter.
  void Signal();
  void Unsignal() { signalled_ = false; }

 private:
  bool signalled_ = false;
  std::vector<Waiter*> waiters_;
};

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_WAITABLE_H_
