// The objects behind handles, and the process-wide table that names them.
#ifndef QUORVEL_PLATFORM_POSIX_KERNEL_OBJECT_H_
#define QUORVEL_PLATFORM_POSIX_KERNEL_OBJECT_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"

namespace qrv {
namespace posix {

// An object a handle can name. Objects are shared: the handle holds one
// reference, and every call working on the object (a wait, a running thread,
// an outstanding request) holds its own, so closing the handle never frees an
// object under a caller.
class KernelObject {
 public:
  KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;

  // Called once, on the closing thread, after the handle left the table; the
  // object may live on while other references remain.
  virtual void HandleClosed() {}
};

// Maps handle values to objects. Values are small multiples of four, never 0
// or -1. Like Windows, the table hands a freed value out again at once, the
// most recently freed first, so that a stale handle reaches whatever object
// was created next. Thread-safe.
class HandleTable {
 public:
  // The one table of the process; never destroyed.
  static HandleTable& Instance();

  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  HANDLE Insert(std::shared_ptr<KernelObject> object);
  // Null when the handle names nothing.
  std::shared_ptr<KernelObject> Find(HANDLE handle) const;
  // Takes the object out of the table; null when the handle names nothing.
  std::shared_ptr<KernelObject> Remove(HANDLE handle);
  size_t Count() const;
  // Counts a use of a handle that names nothing or an object of the wrong
  // type: what strict handle checking on Windows would raise.
  void CountInvalidUse();
  size_t InvalidUses() const;

 private:
  HandleTable() = default;

  mutable std::mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;  // GUARDED_BY(mutex_)
  std::vector<uintptr_t> freed_;  // GUARDED_BY(mutex_); reused from the back
  uintptr_t next_ = 4;            // GUARDED_BY(mutex_)
  size_t invalidUses_ = 0;        // GUARDED_BY(mutex_)
};

// The object of type T the handle names, or null with ERROR_INVALID_HANDLE
// when it names nothing or an object of another type.
template <typename T>
std::shared_ptr<T> FindObject(HANDLE handle) {
  std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(HandleTable::Instance().Find(handle));
  if (object == nullptr) {
    HandleTable::Instance().CountInvalidUse();
    SetLastError(ERROR_INVALID_HANDLE);
  }
  return object;
}

// Sets the calling thread's last error and returns `result`, for the one-line
// failure paths of the API.
template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_KERNEL_OBJECT_H_
