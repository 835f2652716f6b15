#include <chrono>
#include <memory>
#include <vector>

#include "platform/posix/kernel_calls.h"
#include "platform/posix/waitable.h"

namespace qrv {
namespace posix {
namespace {

using Objects = std::vector<std::shared_ptr<Waitable>>;

// Registers one waiter on every object of a wait for the wait's duration.
// REQUIRES: WaitLock() is held for the whole life of the registration.
class Registration {
 public:
  Registration(const Objects& objects, Waiter* waiter) : objects_(objects), waiter_(waiter) {
    for (const auto& object : objects_) object->Attach(waiter_);
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;
  ~Registration() {
    for (const auto& object : objects_) object->Detach(waiter_);
  }

 private:
  const Objects& objects_;
  Waiter* const waiter_;
};

// Completes the wait if its condition holds now: consumes what it reports
// and returns WAIT_OBJECT_0 + index; otherwise WAIT_TIMEOUT.
// REQUIRES: WaitLock() is held.
DWORD TrySatisfy(const Objects& objects, bool wait_all) {
  if (!wait_all) {
    for (size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->Signalled()) {
        objects[i]->Consume();
        return WAIT_OBJECT_0 + static_cast<DWORD>(i);
      }
    }
    return WAIT_TIMEOUT;
  }
  for (const auto& object : objects) {
    if (!object->Signalled()) return WAIT_TIMEOUT;
  }
  for (const auto& object : objects) object->Consume();
  return WAIT_OBJECT_0;
}

DWORD Wait(const Objects& objects, bool wait_all, DWORD milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(WaitLock());
  DWORD result = TrySatisfy(objects, wait_all);
  if (result != WAIT_TIMEOUT || milliseconds == 0) return result;
  Waiter waiter;
  Registration registration(objects, &waiter);
  while ((result = TrySatisfy(objects, wait_all)) == WAIT_TIMEOUT) {
    if (milliseconds == INFINITE) {
      waiter.wake.wait(lock);
    } else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
      return TrySatisfy(objects, wait_all);
    }
  }
  return result;
}

}  // namespace
}  // namespace posix
}  // namespace qrv

using qrv::posix::Fail;

namespace {

DWORD WaitForObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  }
  // The wait holds its own reference on every object, so a concurrent
  // CloseHandle cannot free one under it.
  std::vector<std::shared_ptr<qrv::posix::Waitable>> objects(count);
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = qrv::posix::FindObject<qrv::posix::Waitable>(handles[i]);
    if (objects[i] == nullptr) return WAIT_FAILED;
  }
  return qrv::posix::Wait(objects, waitAll != FALSE, milliseconds);
}

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  const qrv::posix::KernelCall call("WaitForMultipleObjects");
  return WaitForObjects(count, handles, waitAll, milliseconds);
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  const qrv::posix::KernelCall call("WaitForSingleObject");
  return WaitForObjects(1, &handle, FALSE, milliseconds);
}
