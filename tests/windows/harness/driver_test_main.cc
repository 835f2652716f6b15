// main() of every Windows test program: loads the reference driver through
// the service manager, runs the program's tests, and unloads the driver.
// With --gtest_list_tests it only lists them.
//
// The driver image is QRV_DRIVER_IMAGE from the environment (a Windows
// path) when set, otherwise the qrvdrv.sys this program was built with.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "driver_service.h"
#include "stopwatch.h"

namespace {

std::wstring DriverImage() {
  const char* configured = std::getenv("QRV_DRIVER_IMAGE");
  if (configured && *configured) {
    std::string path(configured);
    return std::wstring(path.begin(), path.end());
  }
  return qrv::wintest::WinePathOf(QRV_DRIVER_UNIX_PATH);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest does, to run each in a process of its own)
  // needs no driver.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  std::string error;
  qrv::wintest::Stopwatch load;
  std::unique_ptr<qrv::wintest::DriverService> driver =
      qrv::wintest::DriverService::Start(L"qrvdrv", DriverImage(), &error);
  if (!driver) {
    std::fprintf(stderr, "cannot load the reference driver: %s\n", error.c_str());
    return 2;
  }
  std::printf("[ TIMING   ] driver load %.1f ms\n", load.ElapsedMs());
  int result = RUN_ALL_TESTS();
  qrv::wintest::Stopwatch unload;
  driver.reset();
  std::printf("[ TIMING   ] driver unload %.1f ms\n", unload.ElapsedMs());
  return result;
}
