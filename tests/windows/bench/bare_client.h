// A minimal client of the reference driver without the library: one port,
// threads that each keep one receive pending and answer each message with
// its own bytes. The yardstick the library's round trip and throughput are
// measured against.
#ifndef QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
#define QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "harness/win_handle.h"

namespace qrv {
namespace wintest {

class BareClient {
 public:
  // Called on a serving thread for each message before it is answered, as a
  // service's callback would be.
  using Handler = void (*)();

  BareClient() = default;
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;
  // Frees the port, which ends the pending receives, and joins the threads.
  ~BareClient();

  // Opens the device, takes a port for `serviceId` with `threads` slots,
  // binds them and starts one thread per slot. With `pauseMs` a thread
  // waits that long after a receive that completed at once, as the
  // library's workers do. False with a description in *error.
  bool Start(uint32_t serviceId, uint32_t threads, DWORD pauseMs, Handler handler,
             std::string* error);

 private:
  struct Server {
    BareClient* client;
    uint32_t threadIndex;
    Handle thread;
  };

  static DWORD WINAPI Serve(LPVOID server);
  bool Request(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize,
               OVERLAPPED* overlapped, DWORD* bytes);

  Handle device_;
  std::vector<std::unique_ptr<Server>> servers_;
  uint32_t port_ = 16;
  DWORD pauseMs_ = 0;
  Handler handler_ = nullptr;
};

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_BENCH_BARE_CLIENT_H_
