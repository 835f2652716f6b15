// The event object behind an event handle.
#ifndef QUORVEL_PLATFORM_POSIX_EVENT_H_
#define QUORVEL_PLATFORM_POSIX_EVENT_H_

#include <mutex>

#include "platform/posix/waitable.h"

namespace qrv {
namespace posix {

// Manual-reset or auto-reset (an auto-reset event is consumed by the wait
// that reports it). A device request holds a reference on the event of its
// OVERLAPPED from issue to completion, as Windows' I/O manager does, so the
// completion signals the object even after its handle has been closed.
class Event final : public Waitable {
 public:
  Event(bool manual_reset, bool initial_state) : manual_reset_(manual_reset) {
    if (initial_state) Signal();
  }

  void Set() {
    std::lock_guard<std::mutex> lock(WaitLock());
    Signal();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(WaitLock());
    Unsignal();
  }
  void Consume() override {
    if (!manual_reset_) Unsignal();
  }

 private:
  const bool manual_reset_;
};

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_EVENT_H_
