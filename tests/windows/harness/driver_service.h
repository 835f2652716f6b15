// Loads a kernel driver through the service manager for the life of an
// object, as the Windows test programs load the reference driver.
#ifndef QRV_TESTS_WINDOWS_HARNESS_DRIVER_SERVICE_H_
#define QRV_TESTS_WINDOWS_HARNESS_DRIVER_SERVICE_H_

#include <memory>
#include <string>

#include "win_handle.h"

namespace qrv {
namespace wintest {

// A kernel-driver service that this process created and started. The
// destructor stops the driver (which unloads it) and deletes the service.
// Not thread-safe; create and destroy it on one thread, with no handle to
// the driver's devices still open.
class DriverService {
 public:
  // Creates service `name` (SERVICE_KERNEL_DRIVER, demand start) for the
  // image at `imagePath`, a Windows path such as Z:\build\qrvdrv.sys, and
  // starts it. A service of that name left behind by an earlier run is
  // stopped and deleted first. On failure returns null and describes the
  // failing step and its Win32 error in *error.
  static std::unique_ptr<DriverService> Start(const std::wstring& name,
                                              const std::wstring& imagePath, std::string* error);

  ~DriverService();
  DriverService(const DriverService&) = delete;
  DriverService& operator=(const DriverService&) = delete;

 private:
  DriverService(ServiceHandle&& manager, ServiceHandle&& service);

  ServiceHandle manager_;
  ServiceHandle service_;
};

// The Windows path of a file given by its Unix path, through Wine's Z:
// drive (Z:\ maps to /).
std::wstring WinePathOf(const std::string& unixPath);

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HARNESS_DRIVER_SERVICE_H_
