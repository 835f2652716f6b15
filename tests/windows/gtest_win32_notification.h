// Force-included into every GoogleTest translation unit of the Windows
// build. Debian's i686 mingw-w64 g++ uses the win32 thread model, whose
// libstdc++ has no std::mutex or std::condition_variable; GoogleTest needs
// them only for its internal Notification, which this supplies on a Win32
// event instead (GoogleTest skips its own when GTEST_HAS_NOTIFICATION_ is
// set). Its Mutex and thread-local storage use Win32 already.
#ifndef QRV_TESTS_WINDOWS_GTEST_WIN32_NOTIFICATION_H_
#define QRV_TESTS_WINDOWS_GTEST_WIN32_NOTIFICATION_H_

#ifdef __cplusplus

#define GTEST_HAS_NOTIFICATION_ 1

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace testing {
namespace internal {

// Lets a controller thread release threads it created. Created and
// destroyed on the controller thread.
class Notification {
 public:
  Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Notification() { CloseHandle(event_); }
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing

#endif  // __cplusplus
#endif  // QRV_TESTS_WINDOWS_GTEST_WIN32_NOTIFICATION_H_
