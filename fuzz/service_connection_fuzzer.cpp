// One service connection with one worker against a device whose every answer
// comes from the input: port and bind answers, messages with honest, short,
// inflated or arbitrary byte counts, too-small reports (122 or 111) with
// honest, hostile or missing size words, other errors, each at once or
// through a pending completion, cancellation, refused blocks, and Stop at
// any point. Checked: the callback sees only the buffer the device wrote,
// within its bounds; the worker ends by itself or at Stop, and never spins;
// Stop returns; no lent block outlives the connection.
//
// Time is virtual: the worker's pauses between attempts are yields, so an
// input runs in a fraction of a millisecond and nothing checked depends on the clock.
#include <dlfcn.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "connection/protocol.h"
#include "connection/service_connection.h"
#include "platform/block_heap.h"
#include "platform/module_thread.h"
#include "platform/posix/device.h"

namespace qrv {

using qrv::posix::NTSTATUS;

// This program's own WaitForSingleObject, chosen over the seam's by the
// dynamic linker: a finite wait (the worker's pauses on its stop event)
// looks once and yields instead of waiting out its time, so time is virtual
// here (see above); an unbounded wait is the seam's own.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  using Wait = DWORD (*)(HANDLE, DWORD);
  static const auto seam = reinterpret_cast<Wait>(dlsym(RTLD_NEXT, "WaitForSingleObject"));
  if (milliseconds == INFINITE) return seam(handle, milliseconds);
  const DWORD result = seam(handle, 0);
  if (result == WAIT_TIMEOUT) std::this_thread::yield();
  return result;
}

namespace {

constexpr const wchar_t* kPath = L"\\\\.\\QRVFuzz";
constexpr uint32_t kPort = 3;
// Requests one input can cause: each takes at least one input byte until the
// input is spent, and then every receive fails at once, so a worker that
// asks for more than this loops without end.
constexpr size_t kMaxRequests = 20000;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "service connection fuzzer: %s\n", what);
  std::abort();
}

// Counts what is lent; refuses the next `refusals` blocks larger than the
// worker's buffer.
class FuzzHeap final : public BlockHeap {
 public:
  void* Allocate(size_t size) override {
    if (size > kReceiveBufferSize && refusals > 0) {
      --refusals;
      return nullptr;
    }
    live++;
    return std::malloc(size);
  }
  void Free(void* block) override {
    if (block == nullptr) return;
    live--;
    std::free(block);
  }
  std::atomic<int> refusals{0};
  std::atomic<int> live{0};
};

// What the device last wrote into a receive's output.
struct Written {
  const uint8_t* buffer = nullptr;
  uint32_t capacity = 0;
  std::vector<uint8_t> bytes;
};

enum class Ending { kComplete, kCancel, kStop };

struct Pending {
  qrv::posix::IoRequest* request = nullptr;
  NTSTATUS status = 0;
  DWORD bytes = 0;
  Ending ending = Ending::kComplete;
};

class ScriptedDevice final : public qrv::posix::Device {
 public:
  void Begin(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> hold(mu_);
    input_.emplace(data, size);
    requests_ = 0;
    freed_ = false;
    written_ = Written();
  }

  NTSTATUS Dispatch(qrv::posix::IoRequest* request, DWORD* bytes) override;

  // The pending receive, once the worker has one; empty after `timeout`.
  std::optional<Pending> TakePending(std::chrono::microseconds timeout) {
    std::unique_lock<std::mutex> hold(mu_);
    pendingCv_.wait_for(hold, timeout, [this] { return pending_.has_value(); });
    std::optional<Pending> taken = pending_;
    pending_.reset();
    return taken;
  }
  // Completes a receive still held pending (at FREE_PORT or teardown).
  void CancelPending() {
    std::optional<Pending> taken;
    {
      std::lock_guard<std::mutex> hold(mu_);
      taken.swap(pending_);
    }
    if (taken) taken->request->Complete(qrv::posix::kStatusCancelled, 0);
  }
  // Gives a taken receive back, for the FREE_PORT of a Stop to cancel.
  void Hold(const Pending& pending) {
    std::lock_guard<std::mutex> hold(mu_);
    pending_ = pending;
  }
  bool Spent() {
    std::lock_guard<std::mutex> hold(mu_);
    return input_->remaining_bytes() == 0;
  }
  // Input for the callback's own choices.
  uint8_t Byte() {
    std::lock_guard<std::mutex> hold(mu_);
    return input_->ConsumeIntegral<uint8_t>();
  }
  void CheckMessage(const uint8_t* message, uint32_t length);
  FuzzHeap heap;

 private:
  NTSTATUS Answer(qrv::posix::IoRequest* request, DWORD* bytes, uint32_t good);
  NTSTATUS Receive(qrv::posix::IoRequest* request, DWORD* bytes);
  DWORD WriteMessage(qrv::posix::IoRequest* request);
  NTSTATUS WriteTooSmall(qrv::posix::IoRequest* request);
  NTSTATUS Error();

  std::mutex mu_;
  std::condition_variable pendingCv_;
  std::optional<FuzzedDataProvider> input_;
  size_t requests_ = 0;
  bool freed_ = false;
  std::optional<Pending> pending_;
  Written written_;
};

ScriptedDevice& TheDevice() {
  static ScriptedDevice* device = [] {
    auto* created = new ScriptedDevice();
    qrv::posix::RegisterDevice(kPath, created);
    return created;
  }();
  return *device;
}

NTSTATUS ScriptedDevice::Dispatch(qrv::posix::IoRequest* request, DWORD* bytes) {
  if (request->Code() == IOCTL_UC_FREE_PORT) {
    {
      std::lock_guard<std::mutex> hold(mu_);
      freed_ = true;
    }
    CancelPending();
    *bytes = 0;
    return qrv::posix::kStatusSuccess;
  }
  std::lock_guard<std::mutex> hold(mu_);
  if (++requests_ > kMaxRequests) Die("the worker keeps asking: it loops without end");
  switch (request->Code()) {
    case IOCTL_UC_ALLOCATE_PORT:
      return Answer(request, bytes, kPort);
    case IOCTL_UC_BIND_THREAD:
      return Answer(request, bytes, 0);
    case IOCTL_UC_RECEIVE:
      return Receive(request, bytes);
    case IOCTL_UC_REPLY:
      *bytes = 0;
      return input_->ConsumeIntegralInRange(0, 7) == 0 ? Error() : qrv::posix::kStatusSuccess;
    default:
      return qrv::posix::kStatusInvalidDeviceRequest;
  }
}

// A port or thread index: mostly the good one, else anything, or a failure.
NTSTATUS ScriptedDevice::Answer(qrv::posix::IoRequest* request, DWORD* bytes, uint32_t good) {
  *bytes = 0;
  const int choice = input_->ConsumeIntegralInRange(0, 7);
  if (choice == 7) return Error();
  const uint32_t word = choice == 6 ? input_->ConsumeIntegral<uint32_t>() : good;
  if (request->Output() == nullptr || request->OutputLength() < sizeof(word)) {
    return qrv::posix::kStatusInvalidParameter;
  }
  std::memcpy(request->Output(), &word, sizeof(word));
  *bytes = sizeof(word);
  return qrv::posix::kStatusSuccess;
}

NTSTATUS ScriptedDevice::Receive(qrv::posix::IoRequest* request, DWORD* bytes) {
  *bytes = 0;
  // A freed port takes no more receives, as a driver's does.
  if (freed_ || input_->remaining_bytes() == 0) return qrv::posix::kStatusUnsuccessful;
  const int action = input_->ConsumeIntegralInRange(0, 7);
  Pending pending{request};
  switch (action / 2) {
    case 0:
      pending.bytes = WriteMessage(request);
      break;
    case 1:
      pending.status = WriteTooSmall(request);
      break;
    case 2:
      pending.status = Error();
      break;
    default:
      pending.ending = action == 6 ? Ending::kCancel : Ending::kStop;
      break;
  }
  const bool pend = action % 2 == 1 || action >= 6;
  if (!pend) {
    *bytes = pending.bytes;
    return pending.status;
  }
  pending_ = pending;
  pendingCv_.notify_all();
  return qrv::posix::kStatusPending;
}

// Header and payload bytes from the input, and a byte count that is honest,
// short, inflated or arbitrary.
DWORD ScriptedDevice::WriteMessage(qrv::posix::IoRequest* request) {
  const uint32_t capacity = request->OutputLength();
  const uint32_t size = input_->ConsumeIntegralInRange<uint32_t>(0, capacity);
  auto* out = static_cast<uint8_t*>(request->Output());
  written_ = Written{out, capacity, input_->ConsumeBytes<uint8_t>(size)};
  if (!written_.bytes.empty()) std::memcpy(out, written_.bytes.data(), written_.bytes.size());
  const auto honest = static_cast<DWORD>(written_.bytes.size());
  switch (input_->ConsumeIntegralInRange(0, 3)) {
    case 0:
      return honest;
    case 1:
      return honest < 4 ? honest : input_->ConsumeIntegralInRange<DWORD>(0, 3);
    case 2:
      return honest + input_->ConsumeIntegralInRange<DWORD>(1, 4096);
    default:
      return input_->ConsumeIntegral<DWORD>();
  }
}

// A too-small report, 122 or 111, with an honest, hostile or missing size word.
NTSTATUS ScriptedDevice::WriteTooSmall(qrv::posix::IoRequest* request) {
  const uint32_t capacity = request->OutputLength();
  uint32_t word = 0;
  switch (input_->ConsumeIntegralInRange(0, 2)) {
    case 0:
      word = capacity + input_->ConsumeIntegralInRange<uint32_t>(1, 70000);
      break;
    case 1:
      word = input_->ConsumeIntegral<uint32_t>();
      break;
    default:
      heap.refusals = input_->ConsumeIntegralInRange(0, 2);
      word = 0xFFFFFFFFu;  // not written: whatever the buffer held stays
      break;
  }
  if (word != 0xFFFFFFFFu && capacity >= sizeof(word)) {
    std::memcpy(request->Output(), &word, sizeof(word));
    written_ = Written{static_cast<uint8_t*>(request->Output()), capacity, {}};
  }
  return input_->ConsumeBool() ? qrv::posix::kStatusBufferTooSmall
                               : qrv::posix::StatusFromWin32Error(ERROR_BUFFER_OVERFLOW);
}

NTSTATUS ScriptedDevice::Error() {
  static constexpr NTSTATUS kErrors[] = {
      qrv::posix::kStatusUnsuccessful, qrv::posix::kStatusInvalidParameter,
      qrv::posix::kStatusCancelled, qrv::posix::kStatusBufferOverflow,
      qrv::posix::StatusFromWin32Error(ERROR_INVALID_HANDLE)};
  return kErrors[input_->ConsumeIntegralInRange<size_t>(0, std::size(kErrors) - 1)];
}

// The message handed to the callback must lie in the buffer the device last
// wrote a message into, 4 bytes in, and start with the bytes it wrote there.
void ScriptedDevice::CheckMessage(const uint8_t* message, uint32_t length) {
  std::lock_guard<std::mutex> hold(mu_);
  if (message != written_.buffer + kMessageHeaderSize) Die("callback given another buffer");
  if (uint64_t{length} + kMessageHeaderSize > written_.capacity) Die("callback length overruns");
  const size_t fresh = written_.bytes.size() < kMessageHeaderSize
                           ? 0
                           : std::min<size_t>(length, written_.bytes.size() - kMessageHeaderSize);
  if (fresh > 0 && std::memcmp(message, written_.bytes.data() + kMessageHeaderSize, fresh) != 0) {
    Die("callback sees bytes the device did not write");
  }
}

void QUORVEL_STDCALL Callback(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                              void** answer, uint32_t* answerLength) {
  ScriptedDevice& device = TheDevice();
  device.CheckMessage(static_cast<const uint8_t*>(message), length);
  // Every byte is read, so that a length beyond the block is caught.
  uint8_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += static_cast<const uint8_t*>(message)[i];
  const uint8_t choice = device.Byte();
  if (choice % 4 == 0) return;  // no answer
  const uint32_t size = choice % 4 == 3 ? 70000 : std::min<uint32_t>(length, 64);
  void* block = allocator->Allocate(size);
  if (block == nullptr) return;
  std::memset(block, sum ^ choice, size);
  *answer = block;
  *answerLength = size;
}

// Plays the driver's side of pending receives until the worker ends, the
// input is spent or asks for Stop.
void Drive(ScriptedDevice& device, CNUcCommuniateConnection& connection) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (RunningModuleThreads() != 0) {
    if (std::chrono::steady_clock::now() > deadline) Die("the worker neither ends nor waits");
    std::optional<Pending> pending = device.TakePending(std::chrono::microseconds(100));
    if (!pending) {
      if (device.Spent()) return;
      continue;
    }
    switch (pending->ending) {
      case Ending::kComplete:
        pending->request->Complete(pending->status, pending->bytes);
        break;
      case Ending::kCancel:
        pending->request->Complete(qrv::posix::kStatusCancelled, 0);
        break;
      case Ending::kStop:
        device.Hold(*pending);
        connection.Stop();
        return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScriptedDevice& device = TheDevice();
  device.Begin(data, size);
  device.heap.refusals = 0;
  HANDLE handle = CreateFileW(kPath, kControlDeviceAccess, kControlDeviceShareMode, nullptr,
                              kControlDeviceDisposition, kControlDeviceFlags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) Die("cannot open the device");
  {
    CNUcCommuniateConnection connection(device.heap);
    if (connection.Create(4, 1, handle, &Callback, nullptr) && connection.Start()) {
      Drive(device, connection);
    }
    connection.Stop();  // returns only once the worker has ended
    connection.Close();
  }
  device.CancelPending();
  CloseHandle(handle);
  if (RunningModuleThreads() != 0) Die("a worker outlived Stop");
  if (device.heap.live != 0) Die("a lent block outlived its message");
  return 0;
}

}  // namespace qrv
