#include "platform/posix/creation_failures.h"
#include "platform/posix/kernel_calls.h"
#include "platform/posix/waitable.h"

namespace qrv {
namespace posix {
namespace {

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

}  // namespace
}  // namespace posix
}  // namespace qrv

using qrv::posix::Event;
using qrv::posix::Fail;
using qrv::posix::FindObject;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  // Named events would need a namespace shared across processes; the library
  // only uses unnamed ones, so a name is refused rather than ignored.
  const qrv::posix::KernelCall call("CreateEventW");
  if (name != nullptr) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  DWORD error;
  if (qrv::posix::CreationMustFail(qrv::posix::CreationKind::kEvent, &error)) {
    return Fail<HANDLE>(error, nullptr);
  }
  return qrv::posix::HandleTable::Instance().Insert(
      std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
  const qrv::posix::KernelCall call("SetEvent");
  std::shared_ptr<Event> object = FindObject<Event>(event);
  if (object == nullptr) return FALSE;
  object->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  const qrv::posix::KernelCall call("ResetEvent");
  std::shared_ptr<Event> object = FindObject<Event>(event);
  if (object == nullptr) return FALSE;
  object->Reset();
  return TRUE;
}
