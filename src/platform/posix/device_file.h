// An open handle on a device.
#ifndef QUORVEL_PLATFORM_POSIX_DEVICE_FILE_H_
#define QUORVEL_PLATFORM_POSIX_DEVICE_FILE_H_

#include "platform/posix/device.h"
#include "platform/posix/waitable.h"

namespace qrv {
namespace posix {

// As on Windows, the file object itself is waitable: it is reset when an
// overlapped request is issued on it and set when one completes, so that
// GetOverlappedResult can wait for a request that has no event.
class DeviceFile final : public Waitable {
 public:
  DeviceFile(Device* device, bool overlapped) : device_(device), overlapped_(overlapped) {}

  Device* device() const { return device_; }
  // Opened with FILE_FLAG_OVERLAPPED: only then may a request stay pending
  // while the call returns.
  bool overlapped() const { return overlapped_; }

  void IssueRequest() {
    std::lock_guard<std::mutex> lock(WaitLock());
    Unsignal();
  }
  void CompleteRequest() {
    std::lock_guard<std::mutex> lock(WaitLock());
    Signal();
  }

  void HandleClosed() override { device_->HandleClosed(this); }

 private:
  Device* const device_;
  const bool overlapped_;
};

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_DEVICE_FILE_H_
