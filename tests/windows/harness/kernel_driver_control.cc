#include "kernel_driver_control.h"

#include <cstring>
#include <utility>

namespace qrv {
namespace wintest {
namespace {

// One overlapped request with its own event. The handle is opened for
// overlapped I/O so that WAIT_CHANGE can be bounded; every request then
// carries an OVERLAPPED, as the platform requires on such a handle.
class OverlappedCall {
 public:
  OverlappedCall() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    overlapped_.hEvent = event_.get();
  }
  OverlappedCall(const OverlappedCall&) = delete;
  OverlappedCall& operator=(const OverlappedCall&) = delete;

  // Issues the request and waits for it at most `timeoutMs`; a request
  // still pending then is cancelled, and awaited, before this returns
  // ERROR_TIMEOUT, so that no completion writes into freed memory.
  DWORD Issue(HANDLE device, uint32_t code, const void* input, DWORD inputLength, void* output,
              DWORD outputLength, DWORD* bytes, DWORD timeoutMs) {
    if (!event_.valid()) return GetLastError();
    if (DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output, outputLength,
                        bytes, &overlapped_))
      return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(device, &overlapped_);
      GetOverlappedResult(device, &overlapped_, bytes, TRUE);
      return ERROR_TIMEOUT;
    }
    if (GetOverlappedResult(device, &overlapped_, bytes, TRUE)) return ERROR_SUCCESS;
    return GetLastError();
  }

 private:
  Handle event_;
  OVERLAPPED overlapped_{};
};

// Control requests other than WAIT_CHANGE finish at once; this bound only
// keeps a broken driver from hanging a test.
constexpr DWORD kCallTimeoutMs = 10000;

// The port that holds `serviceId` in the table, or QRVCTL_NO_PORT.
uint32_t FindServicePort(const QrvCtlPorts& ports, uint32_t serviceId) {
  for (uint32_t port = 0; port < QRVCTL_MAX_PORTS; port++) {
    if (ports.ports[port].state == QRVCTL_PORT_SERVICE && ports.ports[port].serviceId == serviceId)
      return port;
  }
  return QRVCTL_NO_PORT;
}

}  // namespace

std::unique_ptr<KernelDriverControl> KernelDriverControl::Open(DWORD* error) {
  Handle device(CreateFileW(QRVCTL_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!device.valid()) {
    *error = GetLastError();
    return nullptr;
  }
  return std::unique_ptr<KernelDriverControl>(new KernelDriverControl(std::move(device)));
}

KernelDriverControl::KernelDriverControl(Handle device) : device_(std::move(device)) {}

DWORD KernelDriverControl::Call(uint32_t code, const void* input, DWORD inputLength, void* output,
                                DWORD outputLength, DWORD* bytes) {
  DWORD ignored = 0;
  OverlappedCall call;
  return call.Issue(device_.get(), code, input, inputLength, output, outputLength,
                    bytes ? bytes : &ignored, kCallTimeoutMs);
}

DWORD KernelDriverControl::Post(uint32_t serviceId, uint32_t header, const void* payload,
                                uint32_t length, uint32_t targetSlot, uint32_t* messageId) {
  return PostInput(QRVCTL_IOCTL_POST, {}, QrvCtlPost{serviceId, header, targetSlot, length},
                   payload, messageId);
}

DWORD KernelDriverControl::PostCopies(uint32_t copies, uint32_t serviceId, uint32_t header,
                                      const void* payload, uint32_t length, uint32_t targetSlot) {
  std::vector<uint8_t> count(sizeof(copies));
  std::memcpy(count.data(), &copies, sizeof(copies));
  uint32_t firstId = 0;
  return PostInput(QRVCTL_IOCTL_POST_COPIES, count,
                   QrvCtlPost{serviceId, header, targetSlot, length}, payload, &firstId);
}

DWORD KernelDriverControl::PostInput(uint32_t code, std::vector<uint8_t> input,
                                     const QrvCtlPost& post, const void* payload,
                                     uint32_t* messageId) {
  const size_t offset = input.size();
  input.resize(offset + sizeof(post) + post.payloadLength);
  std::memcpy(input.data() + offset, &post, sizeof(post));
  if (post.payloadLength > 0) {
    std::memcpy(input.data() + offset + sizeof(post), payload, post.payloadLength);
  }
  return Call(code, input.data(), static_cast<DWORD>(input.size()), messageId, sizeof(*messageId),
              nullptr);
}

DWORD KernelDriverControl::Outcome(uint32_t messageId, bool release, MessageOutcome* outcome) {
  QrvCtlOutcomeRequest request{messageId, release ? 1u : 0u};
  std::vector<uint8_t> output(sizeof(QrvCtlOutcome) + QRVCTL_MAX_REPLY);
  DWORD bytes = 0;
  DWORD error = Call(QRVCTL_IOCTL_OUTCOME, &request, sizeof(request), output.data(),
                     static_cast<DWORD>(output.size()), &bytes);
  if (error != ERROR_SUCCESS) return error;
  if (bytes < sizeof(QrvCtlOutcome)) return ERROR_INVALID_DATA;
  std::memcpy(&outcome->record, output.data(), sizeof(QrvCtlOutcome));
  outcome->reply.assign(output.begin() + sizeof(QrvCtlOutcome), output.begin() + bytes);
  return ERROR_SUCCESS;
}

DWORD KernelDriverControl::Counters(QrvCtlCounters* counters) {
  return Call(QRVCTL_IOCTL_COUNTERS, nullptr, 0, counters, sizeof(*counters), nullptr);
}

DWORD KernelDriverControl::Ports(QrvCtlPorts* ports) {
  return Call(QRVCTL_IOCTL_PORTS, nullptr, 0, ports, sizeof(*ports), nullptr);
}

DWORD KernelDriverControl::ReadLog(uint32_t first, std::vector<QrvCtlLogEntry>* entries,
                                   uint32_t* next) {
  constexpr uint32_t kChunk = 256;
  std::vector<uint8_t> output(sizeof(QrvCtlLogHeader) + kChunk * sizeof(QrvCtlLogEntry));
  for (;;) {
    QrvCtlLogHeader header;
    DWORD error = Call(QRVCTL_IOCTL_READ_LOG, &first, sizeof(first), output.data(),
                       static_cast<DWORD>(output.size()), nullptr);
    if (error != ERROR_SUCCESS) return error;
    std::memcpy(&header, output.data(), sizeof(header));
    const auto* chunk = reinterpret_cast<const QrvCtlLogEntry*>(output.data() + sizeof(header));
    entries->insert(entries->end(), chunk, chunk + header.count);
    *next = header.nextSequence;
    if (header.count < kChunk) return ERROR_SUCCESS;
    first = chunk[header.count - 1].sequence + 1;
  }
}

DWORD KernelDriverControl::ClearLog() {
  return Call(QRVCTL_IOCTL_CLEAR_LOG, nullptr, 0, nullptr, 0, nullptr);
}

DWORD KernelDriverControl::SetFault(const QrvCtlFault& fault) {
  return Call(QRVCTL_IOCTL_SET_FAULT, &fault, sizeof(fault), nullptr, 0, nullptr);
}

DWORD KernelDriverControl::ClearFault(uint32_t kind) {
  return SetFault(QrvCtlFault{kind, 0, 0, 0, 0, 0, 0});
}

DWORD KernelDriverControl::WaitForChange(uint32_t seen, DWORD timeoutMs) {
  uint32_t now = 0;
  DWORD bytes = 0;
  OverlappedCall call;
  return call.Issue(device_.get(), QRVCTL_IOCTL_WAIT_CHANGE, &seen, sizeof(seen), &now, sizeof(now),
                    &bytes, timeoutMs);
}

bool KernelDriverControl::WaitUntil(DWORD timeoutMs, const std::function<bool()>& condition) {
  DWORD start = GetTickCount();
  for (;;) {
    // The generation is read before the condition, so a change between the
    // two makes the wait below return at once instead of being missed.
    QrvCtlCounters counters;
    if (Counters(&counters) != ERROR_SUCCESS) return false;
    if (condition()) return true;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) return false;
    DWORD error = WaitForChange(counters.generation, timeoutMs - elapsed);
    if (error == ERROR_TIMEOUT) return condition();
    if (error != ERROR_SUCCESS) return false;
  }
}

bool KernelDriverControl::WaitForOutcome(uint32_t messageId, DWORD timeoutMs,
                                         MessageOutcome* outcome) {
  return WaitUntil(timeoutMs, [&] {
    return Outcome(messageId, false, outcome) == ERROR_SUCCESS && outcome->Final();
  });
}

bool KernelDriverControl::WaitForPendingReceives(uint32_t serviceId, uint32_t count,
                                                 DWORD timeoutMs) {
  return WaitUntil(timeoutMs, [&] {
    QrvCtlPorts ports;
    if (Ports(&ports) != ERROR_SUCCESS) return false;
    uint32_t port = FindServicePort(ports, serviceId);
    return port != QRVCTL_NO_PORT && ports.ports[port].pendingReceives >= count;
  });
}

uint32_t KernelDriverControl::ServicePort(uint32_t serviceId) {
  QrvCtlPorts ports;
  if (Ports(&ports) != ERROR_SUCCESS) return QRVCTL_NO_PORT;
  return FindServicePort(ports, serviceId);
}

}  // namespace wintest
}  // namespace qrv
