// A minimal client of the reference driver without the library: one port,
// bound threads that each keep one receive pending and answer each message
// with its own bytes. The yardstick the library is measured against.
#ifndef QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
#define QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harness/win_handle.h"

namespace qrv {
namespace wintest {

class BareClient {
 public:
  using Handler = void (*)();  // called for each message before its answer

  BareClient() = default;
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;
  // Frees the port, which ends the pending receives, and joins the threads.
  ~BareClient();

  // Opens the device, takes a port for `serviceId` and starts `threads`
  // threads, which pause `pauseMs` after a receive that completed at once,
  // as the workers do. False with a description in *error.
  bool Start(uint32_t serviceId, uint32_t threads, DWORD pauseMs, Handler handler,
             std::string* error);

 private:
  static DWORD WINAPI Serve(LPVOID self);
  bool Request(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
               OVERLAPPED* overlapped, DWORD* bytes);

  Handle device_;
  std::vector<Handle> threads_;
  uint32_t port_ = 16;
  DWORD pauseMs_ = 0;
  Handler handler_ = nullptr;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
