#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/device_file.h"
#include "platform/posix/event.h"
#include "platform/posix/kernel_calls.h"
#include "platform/posix/overlapped_status.h"
#include "platform/posix/thread_io.h"

namespace qrv {
namespace posix {
namespace {

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Where a call that may not return early waits for the request the device
// pended.
class SyncCompletion {
 public:
  SyncCompletion() = default;
  SyncCompletion(const SyncCompletion&) = delete;
  SyncCompletion& operator=(const SyncCompletion&) = delete;

  // Called by the completing thread. It notifies under the lock, so the
  // waiter cannot return and destroy this object before the call is done.
  void Signal(NTSTATUS status, DWORD bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    bytes_ = bytes;
    done_ = true;
    done_changed_.notify_one();
  }

  NTSTATUS Wait(DWORD* bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_changed_.wait(lock, [this] { return done_; });
    *bytes = bytes_;
    return status_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;    // GUARDED_BY(mutex_)
  NTSTATUS status_ = 0;  // GUARDED_BY(mutex_)
  DWORD bytes_ = 0;      // GUARDED_BY(mutex_)
};

class Request;

// The requests in flight in the process, for CancelIoEx. A request leaves
// the set when it is finished; one that a canceller still holds (pinned) is
// deleted by the last canceller instead, so that Device::Cancel never sees a
// freed or reused request.
class InFlight {
 public:
  static InFlight& Instance() {
    static InFlight* const inFlight = new InFlight();  // never destroyed: threads may outlive exit
    return *inFlight;
  }

  void Add(Request* request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  // Publishes the request's outcome (Request::Finish) and removes it in one
  // step, so that a thread that has seen it complete never finds it
  // outstanding, as on Windows; deletes it unless a canceller holds it.
  // Returns the byte count it reported.
  DWORD Retire(Request* request, NTSTATUS status, DWORD bytes);
  // Blocks while a request that `thread` issued is in flight, for at most
  // kIoGiveUpMs, counted in held_ meanwhile.
  void AwaitRequestsOf(DWORD thread);
  size_t Held() const { return held_.load(); }
  // Pins the matching requests (those of `file`, or of `thread` when it is
  // not 0); the caller passes each to Unpin.
  std::vector<Request*> PinMatching(const DeviceFile* file, const OVERLAPPED* overlapped,
                                    DWORD thread = 0);
  void Unpin(Request* request);

 private:
  std::mutex mutex_;
  std::condition_variable retired_;
  std::vector<Request*> requests_;  // GUARDED_BY(mutex_)
  std::atomic<size_t> held_{0};
};

class Request final : public IoRequest {
 public:
  // `sync` is null for a call that returns while the request is pending.
  Request(std::shared_ptr<DeviceFile> file, DWORD code, const void* input, DWORD input_length,
          void* output, DWORD output_length, OVERLAPPED* overlapped, SyncCompletion* sync)
      : file_(std::move(file)),
        code_(code),
        input_length_(input_length),
        caller_output_(output),
        output_length_(output_length),
        overlapped_(overlapped),
        event_(overlapped != nullptr && overlapped->hEvent != nullptr
                   ? FindObject<Event>(overlapped->hEvent)
                   : nullptr),
        sync_(sync) {
    // Buffered codes get one system buffer the size of the larger side,
    // holding the input, as the I/O manager allocates it; the others get a
    // private copy of the input.
    const size_t size = Buffered() ? std::max(input_length, output_length) : input_length;
    buffer_.resize(size);
    if (input_length != 0) std::memcpy(buffer_.data(), input, input_length);
  }

  DWORD Code() const override { return code_; }
  const void* Input() const override { return input_length_ != 0 ? buffer_.data() : nullptr; }
  DWORD InputLength() const override { return input_length_; }
  void* Output() const override {
    if (output_length_ == 0) return nullptr;
    return Buffered() ? buffer_.data() : caller_output_;
  }
  DWORD OutputLength() const override { return output_length_; }
  bool Overlapped() const override { return overlapped_ != nullptr; }
  const void* File() const override { return file_.get(); }

  void Complete(NTSTATUS status, DWORD bytes) override {
    SyncCompletion* const sync = sync_;  // this may be gone after Retire
    bytes = InFlight::Instance().Retire(this, status, bytes);
    if (sync != nullptr) sync->Signal(status, bytes);
  }

  DWORD Thread() const { return thread_; }
  bool Matches(const DeviceFile* file, const OVERLAPPED* overlapped) const {
    return file_.get() == file && (overlapped == nullptr || overlapped_ == overlapped);
  }
  Device* device() const { return file_->device(); }

  // Publishes the outcome to the caller and returns the byte count it
  // reports. Buffered output is copied back unless the status is an error;
  // the count is bounded by the caller's buffer, so a device that claims
  // more cannot make the caller read past it. A request that returned
  // pending without an OVERLAPPED still writes the caller's output here,
  // whether or not the caller still owns that memory, as Windows does.
  DWORD Finish(NTSTATUS status, DWORD bytes) {
    if (Buffered()) {
      bytes = std::min(bytes, output_length_);
      if (!IsError(status) && bytes != 0) std::memcpy(caller_output_, buffer_.data(), bytes);
    }
    if (overlapped_ != nullptr) {
      overlapped_->InternalHigh = bytes;
      PublishStatus(overlapped_, status);
      if (event_ != nullptr) event_->Set();
    }
    file_->CompleteRequest();
    return bytes;
  }

 private:
  bool Buffered() const { return (code_ & 3u) == METHOD_BUFFERED; }

  const std::shared_ptr<DeviceFile> file_;  // Keeps the file alive until completion.
  const DWORD code_;
  const DWORD input_length_;
  void* const caller_output_;
  const DWORD output_length_;
  OVERLAPPED* const overlapped_;
  // Referenced at issue: the caller may close its handle once the status is
  // published, before the event is set.
  const std::shared_ptr<Event> event_;
  SyncCompletion* const sync_;
  const DWORD thread_ = GetCurrentThreadId();  // the issuing thread
  // InFlight's bookkeeping, under its mutex.
  friend class InFlight;
  unsigned pins_ = 0;
  bool retired_ = false;
  // The device writes the system buffer through the const interface.
  mutable std::vector<unsigned char> buffer_;
};

DWORD InFlight::Retire(Request* request, NTSTATUS status, DWORD bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes = request->Finish(status, bytes);
    requests_.erase(std::find(requests_.begin(), requests_.end(), request));
    request->retired_ = true;
    retired_.notify_all();
    if (request->pins_ != 0) return bytes;
  }
  delete request;
  return bytes;
}

// As Windows does for a thread's requests when it ends: each is cancelled,
// and the thread then waits for all of them. A device that ignores the
// cancellation holds the thread until it completes the request, or until the
// I/O manager gives up.
void InFlight::AwaitRequestsOf(DWORD thread) {
  for (Request* request : PinMatching(nullptr, nullptr, thread)) {
    request->device()->Cancel(request);
    Unpin(request);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const auto issuedByThread = [thread](const Request* request) {
    return request->Thread() == thread;
  };
  const auto done = [&] {
    return std::none_of(requests_.begin(), requests_.end(), issuedByThread);
  };
  if (done()) return;
  ++held_;
  retired_.wait_for(lock, std::chrono::milliseconds(kIoGiveUpMs), done);
  --held_;
}

std::vector<Request*> InFlight::PinMatching(const DeviceFile* file, const OVERLAPPED* overlapped,
                                            DWORD thread) {
  std::vector<Request*> matching;
  std::lock_guard<std::mutex> lock(mutex_);
  for (Request* request : requests_) {
    if (thread != 0 ? request->Thread() != thread : !request->Matches(file, overlapped)) continue;
    ++request->pins_;
    matching.push_back(request);
  }
  return matching;
}

void InFlight::Unpin(Request* request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--request->pins_ != 0 || !request->retired_) return;
  }
  delete request;
}

}  // namespace

void AwaitRequestsOfEndingThread() { InFlight::Instance().AwaitRequestsOf(GetCurrentThreadId()); }

size_t ThreadsHeldForRequests() { return InFlight::Instance().Held(); }

}  // namespace posix
}  // namespace qrv

using qrv::posix::Fail;
using qrv::posix::NTSTATUS;

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
  const qrv::posix::KernelCall call("DeviceIoControl");
  auto file = qrv::posix::FindObject<qrv::posix::DeviceFile>(device);
  if (file == nullptr) return FALSE;
  if ((inBuffer == nullptr && inBufferSize != 0) || (outBuffer == nullptr && outBufferSize != 0)) {
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // As on Windows, a request the device pends returns at once on a handle
  // opened for overlapped I/O, even without an OVERLAPPED (then nothing
  // tells the caller when it completes); on any other handle the call waits
  // for completion.
  const bool returns_pending = file->overlapped();
  if (overlapped != nullptr) {
    if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
    qrv::posix::PublishStatus(overlapped, qrv::posix::kStatusPending);
  }
  file->IssueRequest();
  qrv::posix::SyncCompletion sync;
  auto request = std::make_unique<qrv::posix::Request>(file, ioControlCode, inBuffer, inBufferSize,
                                                       outBuffer, outBufferSize, overlapped,
                                                       returns_pending ? nullptr : &sync);
  qrv::posix::Request* issued = request.release();  // owned by InFlight from here
  qrv::posix::InFlight::Instance().Add(issued);
  DWORD bytes = 0;
  NTSTATUS status = file->device()->Dispatch(issued, &bytes);
  if (status == qrv::posix::kStatusPending) {
    // The device owns it until Complete.
    if (returns_pending) return Fail(ERROR_IO_PENDING, FALSE);
    status = sync.Wait(&bytes);
  } else {
    bytes = qrv::posix::InFlight::Instance().Retire(issued, status, bytes);
  }
  if (bytesReturned != nullptr) *bytesReturned = bytes;
  return qrv::posix::CompletionResult(status);
}

BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped) {
  const qrv::posix::KernelCall call("CancelIoEx");
  auto file = qrv::posix::FindObject<qrv::posix::DeviceFile>(device);
  if (file == nullptr) return FALSE;
  qrv::posix::InFlight& inFlight = qrv::posix::InFlight::Instance();
  const auto matching = inFlight.PinMatching(file.get(), overlapped);
  if (matching.empty()) return Fail(ERROR_NOT_FOUND, FALSE);
  for (qrv::posix::Request* request : matching) {
    request->device()->Cancel(request);
    inFlight.Unpin(request);
  }
  return TRUE;
}
