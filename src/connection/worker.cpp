#include "connection/worker.h"

#include <cstdio>
#include <cstring>

#include "diagnostics/log_channel.h"
#include "platform/exception_guard.h"

namespace qrv {

namespace {

constexpr unsigned kReceiveAttempts = 5;
constexpr DWORD kPauseMs = 10;
// Bounds on one message: past them the worker ends as on a lost connection.
constexpr unsigned kMaxTooSmallReports = 8;
constexpr unsigned kBlockTries = 100;

// A receive given up for the stop: not a too-small code, so no block is taken.
constexpr DWORD kStoppedError = ERROR_OPERATION_ABORTED;

uint32_t ReadHeader(const uint8_t* message) {
  uint32_t header;
  std::memcpy(&header, message, sizeof(header));
  return header;
}

}  // namespace

Worker::Worker(CNUcCommuniateConnection& connection)
    : connection_(connection), allocator_(connection.heap_), request_(connection.heap_) {}

Worker::~Worker() { connection_.heap_.Free(buffer_); }

DWORD Worker::Run() {
  DWORD exitCode = StartUp();
  if (exitCode != 0) {
    connection_.WorkerLeft();
    return exitCode;
  }
  ServeMessages();
  return ExitPath();
}

DWORD Worker::StartUp() {
  if (connection_.WaitForSignal() != WAIT_OBJECT_0 + CNUcCommuniateConnection::kStartEvent)
    return 1;
  if (!request_.Open().Succeeded()) return 2;
  if (!Bind().Succeeded()) return 3;
  receive_ = {connection_.port_, threadIndex_, 0, {0, 0, 0}};
  reply_ = {connection_.port_, threadIndex_};
  buffer_ = static_cast<uint8_t*>(connection_.heap_.Allocate(kReceiveBufferSize));
  if (buffer_ == nullptr) return 4;
  std::memset(buffer_, 0, kReceiveBufferSize);
  return 0;
}

// A thread index the connection has no thread for is refused, as a port
// answer of UC_MAX_PORTS is.
Result Worker::Bind() {
  const Result bound = Send(IOCTL_UC_BIND_THREAD, &connection_.port_, sizeof(connection_.port_),
                            &threadIndex_, sizeof(threadIndex_));
  if (bound.Succeeded() && threadIndex_ >= connection_.threadCount_) {
    return Result::Failure(ERROR_GEN_FAILURE);
  }
  return bound;
}

void Worker::ServeMessages() {
  for (;;) {
    if (connection_.WaitForSignal() != WAIT_OBJECT_0 + CNUcCommuniateConnection::kStartEvent ||
        !ReceiveMessage()) {
      Log("quorvel: connection disconnected. service[%d] port[%d] thread[%d]");
      return;
    }
    if (!HandleMessage()) return;
    allocator_.ReleaseAll();
  }
}

// A too-small report's size word is read from the buffer it came through,
// so a driver that needs yet more room is asked with its latest figure. A
// completion without its header, or longer than its buffer, is refused.
bool Worker::ReceiveMessage() {
  receive_.LargeBuffer = 0;
  message_ = buffer_;
  capacity_ = kReceiveBufferSize;
  Result attempt = ReceiveInto(message_, capacity_);
  for (unsigned reports = 0; !attempt.Succeeded(); ++reports) {
    const DWORD error = attempt.Error();
    const bool tooSmall = error == ERROR_BUFFER_OVERFLOW || error == ERROR_INSUFFICIENT_BUFFER;
    if (!tooSmall || reports == kMaxTooSmallReports) return false;
    const uint32_t size = ReadHeader(message_);
    uint8_t* block = ObtainBlock(size);
    if (block == nullptr) return false;
    receive_.LargeBuffer = 1;
    message_ = block;
    capacity_ = size;
    attempt = ReceiveInto(message_, capacity_);
  }
  const DWORD bytes = request_.BytesReturned();
  return bytes >= kMessageHeaderSize && bytes <= capacity_;
}

// A pending receive is never repeated: the port's release ends it, or the
// stop's give-up event. The pauses wait on the stop event, which cuts them.
Result Worker::ReceiveInto(uint8_t* buffer, DWORD size) {
  for (unsigned attempts = 1;; ++attempts) {
    const Result result = Send(IOCTL_UC_RECEIVE, &receive_, sizeof(receive_), buffer, size);
    if (request_.Pended()) return result;
    if (result.Succeeded()) {
      connection_.StopSetWithin(kPauseMs);  // the message in hand is served either way
      return result;
    }
    if (connection_.StopSetWithin(0)) return Result::Failure(kStoppedError);
    std::printf("DeviceIoControl : %d.\n", static_cast<int>(result.Error()));
    std::fflush(stdout);
    if (connection_.StopSetWithin(kPauseMs)) return Result::Failure(kStoppedError);
    if (attempts == kReceiveAttempts) return result;
  }
}

// Refuses a size no larger than the buffer it came through, or beyond
// kMaxMessageSize (a garbled word must not ask the heap for up to 4 GiB).
// While the heap refuses, the worker pauses on the stop event.
uint8_t* Worker::ObtainBlock(uint32_t size) {
  if (size < kMessageHeaderSize || size <= capacity_ || size > kMaxMessageSize) return nullptr;
  for (unsigned tries = 0; tries < kBlockTries; ++tries) {
    if (void* block = allocator_.Allocate(size)) return static_cast<uint8_t*>(block);
    if (connection_.StopSetWithin(kPauseMs)) return nullptr;
  }
  return nullptr;
}

bool Worker::HandleMessage() {
  const uint32_t header = ReadHeader(message_);
  answer_ = nullptr;
  answerLength_ = 0;
  const Result called = CallGuarded(&InvokeCallback, this, GuardScope::kCppExceptions);
  if (!called.Succeeded()) {
    LogChannel::Instance().Print(
        "quorvel: callback exception. service[%d] port[%d] thread[%d] code[0x%x]",
        connection_.serviceId_, connection_.port_, threadIndex_,
        static_cast<unsigned>(called.Error()));
    return false;
  }
  if (header != 0 && !SendReply().Succeeded()) {
    Log("quorvel: reply failed. service[%d] port[%d] thread[%d]");
    return false;
  }
  return true;
}

void Worker::InvokeCallback(void* worker) {
  auto* self = static_cast<Worker*>(worker);
  self->connection_.callback_(&self->allocator_, self->message_ + kMessageHeaderSize,
                              self->request_.BytesReturned() - kMessageHeaderSize,
                              self->connection_.context_, &self->answer_, &self->answerLength_);
}

// An answer without an address or bytes travels as a null buffer of length 0.
Result Worker::SendReply() {
  const bool empty = answer_ == nullptr || answerLength_ == 0;
  return Send(IOCTL_UC_REPLY, &reply_, sizeof(reply_), empty ? nullptr : answer_,
              empty ? 0 : answerLength_);
}

Result Worker::Send(DWORD code, const void* input, DWORD inputSize, void* output,
                    DWORD outputSize) {
  return request_.Send(connection_.device_, code, input, inputSize, output, outputSize,
                       connection_.GiveUpEvent(), INFINITE);
}

// After an abandoned request the driver may still use the buffer or any lent
// block: they go to the abandoned record, freed once the driver lets go.
DWORD Worker::ExitPath() {
  if (CNimUCAllocator* keeper = request_.Keeper()) {
    static_cast<void>(keeper->Adopt(buffer_, kReceiveBufferSize));
    allocator_.HandOver(*keeper);
  } else {
    connection_.heap_.Free(buffer_);
    allocator_.ReleaseAll();
  }
  buffer_ = nullptr;
  connection_.WorkerLeft();
  Log("quorvel: service[%d] port[%d] thread[%d] quit.");
  return GetLastError();
}

void Worker::Log(const char* format) const {
  LogChannel::Instance().Print(format, connection_.serviceId_, connection_.port_, threadIndex_);
}

}  // namespace qrv
