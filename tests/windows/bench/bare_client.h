// A minimal client of the reference driver without the library: one port,
// one bound thread that keeps one receive pending and answers each message
// with its own bytes. The yardstick the library's round trip is measured
// against.
#ifndef QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
#define QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "harness/win_handle.h"

namespace qrv {
namespace wintest {

class BareClient {
 public:
  BareClient() = default;
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;
  // Frees the port, which ends the pending receive, and joins the thread.
  ~BareClient();

  // Opens the device, takes a port for `serviceId` and starts the thread.
  // False with a description in *error.
  bool Start(uint32_t serviceId, std::string* error);

 private:
  static DWORD WINAPI Serve(LPVOID self);
  bool Request(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
               OVERLAPPED* overlapped, DWORD* bytes);

  Handle device_;
  Handle thread_;
  uint32_t port_ = 16;
  uint32_t threadIndex_ = 0;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
