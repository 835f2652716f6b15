// Test-side access to the simulated driver through the Win32 seam, opened and
// spoken to the way the library does it.
#ifndef QUORVEL_TESTS_SIM_DEVICE_CLIENT_H_
#define QUORVEL_TESTS_SIM_DEVICE_CLIENT_H_

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/win32.h"

namespace qrv {
namespace sim {
namespace test {

// What one synchronous request returned. `word` is the 4-byte answer, which
// the client presets to a sentinel so that "nothing written" shows.
struct Answer {
  bool ok = false;
  DWORD error = 0;  // GetLastError() after a failure
  uint32_t word = 0;
};

constexpr uint32_t kSentinel = 0xDEADBEEFu;

std::vector<uint8_t> PortRequest(uint8_t kind, uint32_t serviceId, uint32_t threadCount);
std::vector<uint8_t> Words(std::initializer_list<uint32_t> words);
std::vector<uint8_t> ReceiveRequest(uint32_t port, uint32_t threadIndex, uint8_t largeBuffer);

// One synchronous request on any handle, with a 4-byte answer word or none.
Answer Request(HANDLE device, DWORD code, const std::vector<uint8_t>& input,
               bool withAnswer = true);
// A REPLY request with the answer as its output buffer.
Answer SendReply(HANDLE device, uint32_t port, uint32_t threadIndex, const void* answer,
                 DWORD length);

// Owns one handle on "\\.\QRVDev"; closing it flushes the driver.
class DeviceClient {
 public:
  DeviceClient();
  ~DeviceClient();
  DeviceClient(const DeviceClient&) = delete;
  DeviceClient& operator=(const DeviceClient&) = delete;

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return handle_; }
  void Close();

  // A synchronous request with a 4-byte answer word, or with no output.
  Answer Call(DWORD code, const std::vector<uint8_t>& input, bool withAnswer = true);
  Answer CreateEchoPort();
  Answer AllocatePort(uint32_t serviceId, uint32_t threadCount);
  Answer Echo(uint32_t port, uint32_t magic);
  Answer Bind(uint32_t port);
  Answer FreePort(uint32_t port);
  Answer CloseEchoPort(uint32_t port);
  Answer Reply(uint32_t port, uint32_t threadIndex, const void* answer, DWORD length);

 private:
  HANDLE handle_;
};

// One overlapped receive with its own auto-reset event and output buffer.
// A receive still pending at destruction leaks its state, which the driver
// still owns and completes when the handle closes.
class PendingReceive {
 public:
  PendingReceive(HANDLE device, uint32_t port, uint32_t threadIndex, DWORD size,
                 uint8_t largeBuffer = 0);
  ~PendingReceive();
  PendingReceive(const PendingReceive&) = delete;
  PendingReceive& operator=(const PendingReceive&) = delete;

  // Issues the request; returns DeviceIoControl's result, error() its error.
  bool Issue();
  // Waits for the completion; false when the timeout passes first.
  bool Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // GetOverlappedResult without waiting; error() and bytes() hold the result.
  bool Result();

  DWORD error() const { return error_; }
  DWORD bytes() const { return bytes_; }
  uint8_t* buffer() { return state_->buffer.data(); }
  uint32_t Word(size_t offset) const;
  // The payload of a completed receive: bytes() - 4 bytes after the Header.
  std::vector<uint8_t> Payload() const;

 private:
  struct State {
    OVERLAPPED overlapped{};
    std::vector<uint8_t> input;
    std::vector<uint8_t> buffer;
  };

  HANDLE device_;
  State* state_;
  HANDLE event_;
  bool pending_ = false;
  DWORD error_ = 0;
  DWORD bytes_ = 0;
};

}  // namespace test
}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_TESTS_SIM_DEVICE_CLIENT_H_
