// Helpers shared by the seam's tests: handle ownership and bounded waits.
#ifndef QUORVEL_TESTS_PLATFORM_TEST_SUPPORT_H_
#define QUORVEL_TESTS_PLATFORM_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include "platform/win32.h"

namespace seam_test {

// Long enough for a loaded sanitizer build, short of the CTest timeout.
constexpr DWORD kBoundMs = 10000;

// Owns one handle and closes it.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }

  HANDLE get() const { return handle_; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_;
};

inline HANDLE NewEvent(bool manual_reset, bool initial_state) {
  HANDLE event = CreateEventW(nullptr, manual_reset, initial_state, nullptr);
  EXPECT_NE(event, nullptr) << "CreateEventW failed with " << GetLastError();
  return event;
}

// The handle becomes signalled within the bound.
inline ::testing::AssertionResult SignalledInTime(HANDLE handle) {
  const DWORD result = WaitForSingleObject(handle, kBoundMs);
  if (result == WAIT_OBJECT_0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "not signalled within " << kBoundMs << " ms: wait returned " << result
         << ", last error " << GetLastError();
}

// The handle is signalled right now (consuming it if it is auto-reset).
inline bool SignalledNow(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

// Runs a callable on a thread made by CreateThread; the handle is signalled
// when it is done.
template <typename F>
HANDLE StartThread(F* body) {
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<F*>(p))(); }, body, 0, nullptr);
  EXPECT_NE(thread, nullptr) << "CreateThread failed with " << GetLastError();
  return thread;
}

}  // namespace seam_test

#endif  // QUORVEL_TESTS_PLATFORM_TEST_SUPPORT_H_
