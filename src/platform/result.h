// The library's one result convention inside its own code.
#ifndef QUORVEL_PLATFORM_RESULT_H_
#define QUORVEL_PLATFORM_RESULT_H_

#include "platform/win32.h"

namespace qrv {

// Success, or the Win32 error that made an operation fail, read once right
// after the failing call (the C runtime may overwrite the last error later).
// Only the exports turn a result into an HRESULT.
class [[nodiscard]] Result {
 public:
  static Result Success() { return Result(ERROR_SUCCESS); }
  // A failure always carries an error: 0 would read as success, so it is
  // reported as ERROR_GEN_FAILURE.
  static Result Failure(DWORD error) {
    return Result(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
  }
  static Result LastError() { return Failure(GetLastError()); }

  bool Succeeded() const { return error_ == ERROR_SUCCESS; }
  DWORD Error() const { return error_; }

 private:
  explicit Result(DWORD error) : error_(error) {}

  DWORD error_;
};

}  // namespace qrv

#endif  // QUORVEL_PLATFORM_RESULT_H_
