// The library's one internal result convention.
#ifndef QUORVEL_PLATFORM_RESULT_H_
#define QUORVEL_PLATFORM_RESULT_H_

#include "platform/win32.h"

namespace qrv {

// Success, or the failure's reason: the Win32 error of the failing call, read
// once right after it (the C runtime may overwrite the last error later), or
// the code of an exception a guarded call caught. Only the exports turn a
// result into an HRESULT.
class [[nodiscard]] Result {
 public:
  static Result Success() { return Result(ERROR_SUCCESS); }
  // Error 0 would read as success: it fails as ERROR_GEN_FAILURE.
  static Result Failure(DWORD error) { return Result(error != 0 ? error : ERROR_GEN_FAILURE); }
  static Result LastError() { return Failure(GetLastError()); }

  bool Succeeded() const { return error_ == ERROR_SUCCESS; }
  DWORD Error() const { return error_; }

 private:
  explicit Result(DWORD error) : error_(error) {}

  DWORD error_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_RESULT_H_
