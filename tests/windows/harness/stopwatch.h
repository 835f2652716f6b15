// Elapsed wall time for the timings the Windows test programs report.
#ifndef QRV_TESTS_WINDOWS_HARNESS_STOPWATCH_H_
#define QRV_TESTS_WINDOWS_HARNESS_STOPWATCH_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qrv {
namespace wintest {

class Stopwatch {
 public:
  Stopwatch() { QueryPerformanceCounter(&start_); }

  double ElapsedMs() const {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start_.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER start_;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HARNESS_STOPWATCH_H_
