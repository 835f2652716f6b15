#include "platform/posix/event.h"

#include "platform/posix/creation_failures.h"
#include "platform/posix/kernel_calls.h"

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
