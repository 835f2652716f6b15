// Sole ownership of one Win32 handle.
#ifndef QUORVEL_PLATFORM_OWNED_HANDLE_H_
#define QUORVEL_PLATFORM_OWNED_HANDLE_H_

#include "platform/win32.h"

namespace qrv {

// Neither null nor INVALID_HANDLE_VALUE.
inline bool IsOpenHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Closes the handle in `field` if it is open and leaves null (for a raw field
// in an array waited on as a whole).
inline void CloseHandleField(HANDLE* field) {
  if (IsOpenHandle(*field)) CloseHandle(*field);
  *field = nullptr;
}

// Holds null, INVALID_HANDLE_VALUE (the owner gives each sentinel a meaning of
// its own) or an open handle.
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
  void Close() { CloseHandleField(&handle_); }

 private:
  HANDLE handle_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_OWNED_HANDLE_H_
