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
  for (const Handle& thread : threads_) WaitForSingleObject(thread.get(), INFINITE);
}

bool BareClient::Start(uint32_t serviceId, uint32_t threads, DWORD pauseMs, Handler handler,
                       std::string* error) {
  pauseMs_ = pauseMs;
  handler_ = handler;
  device_ = Handle(CreateFileW(kControlDevicePath, kControlDeviceAccess, kControlDeviceShareMode,
                               nullptr, kControlDeviceDisposition, kControlDeviceFlags, nullptr));
  if (!device_.valid()) {
    *error = "cannot open the device: " + std::to_string(GetLastError());
    return false;
  }
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  const PortRequest request = {kServicePort, {0, 0, 0}, serviceId, threads};
  DWORD bytes = 0;
  uint32_t port = UC_MAX_PORTS;
  if (!Request(IOCTL_UC_ALLOCATE_PORT, &request, sizeof(request), &port, sizeof(port), &overlapped,
               &bytes) ||
      port >= UC_MAX_PORTS) {
    *error = "no port: " + std::to_string(GetLastError());
    return false;
  }
  port_ = port;
  for (uint32_t i = 0; i < threads; ++i) {
    threads_.emplace_back(CreateThread(nullptr, 0, &Serve, this, 0, nullptr));
    if (!threads_.back().valid()) {
      *error = "no thread: " + std::to_string(GetLastError());
      return false;
    }
  }
  return true;
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

// Bind, then receive, answer, repeat, with one event for all, until a
// request fails (the port freed).
DWORD WINAPI BareClient::Serve(LPVOID parameter) {
  auto* self = static_cast<BareClient*>(parameter);
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  // The library's workers pause on their stop event, so that a stop never
  // waits for them; this client pauses the same way, on an event nobody
  // sets, so that both pauses cost what such a wait costs.
  Handle pause(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  uint32_t index = 0;
  DWORD bytes = 0;
  if (!self->Request(IOCTL_UC_BIND_THREAD, &self->port_, sizeof(self->port_), &index, sizeof(index),
                     &overlapped, &bytes))
    return 1;
  const ReceiveRequest receive = {self->port_, index, 0, {0, 0, 0}};
  const ReplyHeader reply = {self->port_, index};
  uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    if (DeviceIoControl(self->device_.get(), IOCTL_UC_RECEIVE,
                        const_cast<ReceiveRequest*>(&receive), sizeof(receive), buffer,
                        sizeof(buffer), &bytes, &overlapped)) {
      if (self->pauseMs_ != 0) WaitForSingleObject(pause.get(), self->pauseMs_);
    } else if (GetLastError() != ERROR_IO_PENDING ||
               !GetOverlappedResult(self->device_.get(), &overlapped, &bytes, TRUE)) {
      return 0;
    }
    if (bytes < kMessageHeaderSize) return 0;
    if (self->handler_ != nullptr) self->handler_();
    uint32_t header = 0;
    std::memcpy(&header, buffer, sizeof(header));
    if (header == 0) continue;
    self->Request(IOCTL_UC_REPLY, &reply, sizeof(reply), buffer + kMessageHeaderSize,
                  bytes - kMessageHeaderSize, &overlapped, &bytes);
  }
}

}  // namespace wintest
}  // namespace qrv
