#include "platform/posix/device.h"
#include "platform/posix/kernel_calls.h"
#include "platform/posix/kernel_object.h"

namespace qrv {
namespace posix {

HandleTable& HandleTable::Instance() {
  // Leaked on purpose: threads of the library may still close handles while
  // static destructors run at process exit.
  static HandleTable* table = new HandleTable;
  return *table;
}

HANDLE HandleTable::Insert(std::shared_ptr<KernelObject> object) {
  std::lock_guard<std::mutex> lock(mutex_);
  uintptr_t value = next_;
  if (freed_.empty()) {
    next_ += 4;
  } else {
    value = freed_.back();
    freed_.pop_back();
  }
  objects_.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> HandleTable::Find(HANDLE handle) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
  return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<KernelObject> HandleTable::Remove(HANDLE handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
  if (it == objects_.end()) return nullptr;
  std::shared_ptr<KernelObject> object = std::move(it->second);
  objects_.erase(it);
  freed_.push_back(reinterpret_cast<uintptr_t>(handle));
  return object;
}

void HandleTable::CountInvalidUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++invalidUses_;
}

size_t HandleTable::InvalidUses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return invalidUses_;
}

size_t HandleTable::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return objects_.size();
}

size_t OpenHandleCount() { return HandleTable::Instance().Count(); }

size_t InvalidHandleUses() { return HandleTable::Instance().InvalidUses(); }

}  // namespace posix
}  // namespace qrv

using qrv::posix::HandleTable;
using qrv::posix::KernelObject;

BOOL CloseHandle(HANDLE handle) {
  const qrv::posix::KernelCall call("CloseHandle");
  std::shared_ptr<KernelObject> object = HandleTable::Instance().Remove(handle);
  if (object == nullptr) {
    HandleTable::Instance().CountInvalidUse();
    return qrv::posix::Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  // Outside the table lock: a device's HandleClosed may call back into the seam.
  object->HandleClosed();
  return TRUE;
}
