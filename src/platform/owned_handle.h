// Sole ownership of one Win32 handle.
#ifndef QUORVEL_PLATFORM_OWNED_HANDLE_H_
#define QUORVEL_PLATFORM_OWNED_HANDLE_H_

#include "platform/win32.h"

namespace qrv {

// Holds null, INVALID_HANDLE_VALUE (the owner gives each sentinel a meaning of
// its own) or an open handle. Close() closes an open handle and leaves null.
class OwnedHandle {
 public:
  explicit OwnedHandle(HANDLE initial = nullptr) : handle_(initial) {}
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { Close(); }

  HANDLE Get() const { return handle_; }
  bool IsOpen() const { return IsOpenHandle(handle_); }

  // Takes ownership of `handle`; the field must not hold an open handle.
  void Reset(HANDLE handle) { handle_ = handle; }

  void Close() {
    if (IsOpen()) CloseHandle(handle_);
    handle_ = nullptr;
  }

  static bool IsOpenHandle(HANDLE handle) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE handle_;
};

// Close() for a raw handle field (in an array waited on as a whole).
inline void CloseHandleField(HANDLE* field) {
  if (OwnedHandle::IsOpenHandle(*field)) CloseHandle(*field);
  *field = nullptr;
}

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_OWNED_HANDLE_H_
