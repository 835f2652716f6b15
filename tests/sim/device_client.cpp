#include "tests/sim/device_client.h"

#include <cstring>

#include "sim/driver/wire_tables.h"

namespace qrv {
namespace sim {
namespace test {

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
  std::vector<uint8_t> bytes(words.size() * 4);
  size_t offset = 0;
  for (uint32_t word : words) {
    std::memcpy(bytes.data() + offset, &word, 4);
    offset += 4;
  }
  return bytes;
}

std::vector<uint8_t> PortRequest(uint8_t kind, uint32_t serviceId, uint32_t threadCount) {
  std::vector<uint8_t> bytes = Words({0, serviceId, threadCount});
  bytes[wire::kPortRequestKind] = kind;
  return bytes;
}

std::vector<uint8_t> ReceiveRequest(uint32_t port, uint32_t threadIndex, uint8_t largeBuffer) {
  std::vector<uint8_t> bytes = Words({port, threadIndex, 0});
  bytes[wire::kReceiveRequestLargeBuffer] = largeBuffer;
  return bytes;
}

Answer Request(HANDLE device, DWORD code, const std::vector<uint8_t>& input, bool withAnswer) {
  Answer answer;
  answer.word = kSentinel;
  DWORD bytes = 0;
  answer.ok = DeviceIoControl(device, code, const_cast<uint8_t*>(input.data()),
                              static_cast<DWORD>(input.size()), withAnswer ? &answer.word : nullptr,
                              withAnswer ? 4 : 0, &bytes, nullptr) != FALSE;
  if (!answer.ok) answer.error = GetLastError();
  return answer;
}

Answer SendReply(HANDLE device, uint32_t port, uint32_t threadIndex, const void* data,
                 DWORD length) {
  std::vector<uint8_t> header = Words({port, threadIndex});
  Answer answer;
  DWORD bytes = 0;
  answer.ok = DeviceIoControl(device, wire::kReply, header.data(), 8, const_cast<void*>(data),
                              length, &bytes, nullptr) != FALSE;
  if (!answer.ok) answer.error = GetLastError();
  return answer;
}

DeviceClient::DeviceClient()
    : handle_(CreateFileW(L"\\\\.\\QRVDev", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr)) {}

DeviceClient::~DeviceClient() { Close(); }

void DeviceClient::Close() {
  if (valid()) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

Answer DeviceClient::Call(DWORD code, const std::vector<uint8_t>& input, bool withAnswer) {
  return Request(handle_, code, input, withAnswer);
}

Answer DeviceClient::CreateEchoPort() {
  return Call(wire::kCreateEchoPort, PortRequest(wire::kKindEcho, wire::kEchoServiceId, 1));
}

Answer DeviceClient::AllocatePort(uint32_t serviceId, uint32_t threadCount) {
  return Call(wire::kAllocatePort, PortRequest(wire::kKindService, serviceId, threadCount));
}

Answer DeviceClient::Echo(uint32_t port, uint32_t magic) {
  return Call(wire::kEcho, Words({port, magic}));
}

Answer DeviceClient::Bind(uint32_t port) { return Call(wire::kBindThread, Words({port})); }

Answer DeviceClient::FreePort(uint32_t port) { return Call(wire::kFreePort, Words({port}), false); }

Answer DeviceClient::CloseEchoPort(uint32_t port) {
  return Call(wire::kCloseEchoPort, Words({port}), false);
}

Answer DeviceClient::Reply(uint32_t port, uint32_t threadIndex, const void* data, DWORD length) {
  return SendReply(handle_, port, threadIndex, data, length);
}

PendingReceive::PendingReceive(HANDLE device, uint32_t port, uint32_t threadIndex, DWORD size,
                               uint8_t largeBuffer)
    : device_(device), state_(new State), event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
  state_->input = ReceiveRequest(port, threadIndex, largeBuffer);
  state_->buffer.assign(size, 0xAA);
  state_->overlapped.hEvent = event_;
}

PendingReceive::~PendingReceive() {
  if (pending_ && !Wait(std::chrono::milliseconds(0))) return;  // leaked: the driver owns it
  CloseHandle(event_);
  delete state_;
}

bool PendingReceive::Issue() {
  bytes_ = 0;
  const BOOL ok = DeviceIoControl(
      device_, wire::kReceive, state_->input.data(), static_cast<DWORD>(state_->input.size()),
      state_->buffer.empty() ? nullptr : state_->buffer.data(),
      static_cast<DWORD>(state_->buffer.size()), &bytes_, &state_->overlapped);
  error_ = ok ? 0 : GetLastError();
  pending_ = !ok && error_ == ERROR_IO_PENDING;
  return ok != FALSE;
}

bool PendingReceive::Wait(std::chrono::milliseconds timeout) {
  if (WaitForSingleObject(event_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    return false;
  pending_ = false;
  return true;
}

bool PendingReceive::Result() {
  const BOOL ok = GetOverlappedResult(device_, &state_->overlapped, &bytes_, FALSE);
  error_ = ok ? 0 : GetLastError();
  return ok != FALSE;
}

uint32_t PendingReceive::Word(size_t offset) const {
  uint32_t word;
  std::memcpy(&word, state_->buffer.data() + offset, 4);
  return word;
}

std::vector<uint8_t> PendingReceive::Payload() const {
  if (bytes_ < 4) return {};
  return std::vector<uint8_t>(state_->buffer.begin() + 4, state_->buffer.begin() + bytes_);
}

}  // namespace test
}  // namespace sim
}  // namespace qrv
