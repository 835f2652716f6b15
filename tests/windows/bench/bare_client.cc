#include "bench/bare_client.h"

#include <cstring>

#include "connection/protocol.h"

namespace qrv {
namespace wintest {

BareClient::~BareClient() {
  if (port_ < UC_MAX_PORTS) {
    OVERLAPPED overlapped = {};
    Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    overlapped.hEvent = event.get();
    DWORD bytes = 0;
    Request(IOCTL_UC_FREE_PORT, &port_, sizeof(port_), nullptr, 0, &overlapped, &bytes);
  }
  if (thread_.valid()) WaitForSingleObject(thread_.get(), INFINITE);
}

bool BareClient::Start(uint32_t serviceId, std::string* error) {
  device_ = Handle(CreateFileW(kControlDevicePath, kControlDeviceAccess, kControlDeviceShareMode,
                               nullptr, kControlDeviceDisposition, kControlDeviceFlags, nullptr));
  if (!device_.valid()) {
    *error = "cannot open the device: " + std::to_string(GetLastError());
    return false;
  }
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  const PortRequest request = {kServicePort, {0, 0, 0}, serviceId, 1};
  DWORD bytes = 0;
  uint32_t port = UC_MAX_PORTS;
  if (!Request(IOCTL_UC_ALLOCATE_PORT, &request, sizeof(request), &port, sizeof(port), &overlapped,
               &bytes) ||
      port >= UC_MAX_PORTS) {
    *error = "no port: " + std::to_string(GetLastError());
    return false;
  }
  port_ = port;
  if (!Request(IOCTL_UC_BIND_THREAD, &port_, sizeof(port_), &threadIndex_, sizeof(threadIndex_),
               &overlapped, &bytes)) {
    *error = "no binding: " + std::to_string(GetLastError());
    return false;
  }
  thread_ = Handle(CreateThread(nullptr, 0, &Serve, this, 0, nullptr));
  if (!thread_.valid()) *error = "no thread: " + std::to_string(GetLastError());
  return thread_.valid();
}

bool BareClient::Request(DWORD code, const void* input, DWORD inputSize, void* output,
                         DWORD outputSize, OVERLAPPED* overlapped, DWORD* bytes) {
  if (DeviceIoControl(device_.get(), code, const_cast<void*>(input), inputSize, output, outputSize,
                      bytes, overlapped)) {
    return true;
  }
  return GetLastError() == ERROR_IO_PENDING &&
         GetOverlappedResult(device_.get(), overlapped, bytes, TRUE);
}

// Receive, answer, repeat, with one event for both, until a receive fails
// (the port freed).
DWORD WINAPI BareClient::Serve(LPVOID parameter) {
  auto* self = static_cast<BareClient*>(parameter);
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  const ReceiveRequest receive = {self->port_, self->threadIndex_, 0, {0, 0, 0}};
  const ReplyHeader reply = {self->port_, self->threadIndex_};
  uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    DWORD bytes = 0;
    if (!self->Request(IOCTL_UC_RECEIVE, &receive, sizeof(receive), buffer, sizeof(buffer),
                       &overlapped, &bytes) ||
        bytes < kMessageHeaderSize) {
      return 0;
    }
    uint32_t header = 0;
    std::memcpy(&header, buffer, sizeof(header));
    if (header == 0) continue;
    self->Request(IOCTL_UC_REPLY, &reply, sizeof(reply), buffer + kMessageHeaderSize,
                  bytes - kMessageHeaderSize, &overlapped, &bytes);
  }
}

}  // namespace wintest
}  // namespace qrv
