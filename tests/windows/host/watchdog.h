// Last-resort reports of a Windows test program: a test that never ends and
// an exception that nothing handles.
#ifndef QRV_TESTS_WINDOWS_HOST_WATCHDOG_H_
#define QRV_TESTS_WINDOWS_HOST_WATCHDOG_H_

#include <string>

#include "harness/win_handle.h"

namespace qrv {
namespace wintest {

// Ends the process with exit code 3 and a message naming `what` when it is
// not destroyed within `timeoutMs`: a call into the library that never
// returns (a deadlock) cannot be unwound, only reported. Create and destroy
// it on one thread.
class Watchdog {
 public:
  Watchdog(const std::string& what, DWORD timeoutMs);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  static DWORD WINAPI Watch(LPVOID self);

  std::string what_;
  DWORD timeoutMs_;
  Handle disarmed_;
  Handle thread_;
};

// Makes an exception that no handler takes, on any thread, print its code,
// address, module and thread before the process ends with the exception
// code as its exit status.
void ReportUnhandledExceptions();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_WATCHDOG_H_
