// Device control requests through the stand-in's I/O manager: opening a
// device, the transfer methods, status mapping, and overlapped completion.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/device.h"
#include "test_support.h"

namespace seam_test {
namespace {

using qrv::posix::Device;
using qrv::posix::IoRequest;
using qrv::posix::NTSTATUS;

constexpr wchar_t kPath[] = L"\\\\.\\SeamTestDevice";
constexpr DWORD kBuffered = CTL_CODE(0x8000u, 0x800u, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kOutDirect = CTL_CODE(0x8000u, 0x801u, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

// A device whose answer each test scripts. Requests it pends are parked for
// the test to complete.
class ScriptedDevice : public Device {
 public:
  using Responder = std::function<NTSTATUS(IoRequest*, DWORD*)>;

  void RespondWith(Responder responder) { responder_ = std::move(responder); }

  NTSTATUS Dispatch(IoRequest* request, DWORD* bytes) override {
    return responder_(request, bytes);
  }
  void HandleClosed(const void*) override { handles_closed_.fetch_add(1); }
  void Cancel(IoRequest* request) override {
    if (on_cancel) on_cancel(request);
  }

  std::function<void(IoRequest*)> on_cancel;  // set before any request

  int handles_closed() const { return handles_closed_.load(); }

 private:
  Responder responder_;
  std::atomic<int> handles_closed_{0};
};

// Writes `data` to the request's output and answers with the status.
ScriptedDevice::Responder Answer(NTSTATUS status, std::string data) {
  return [status, data](IoRequest* request, DWORD* bytes) {
    const DWORD size = std::min<DWORD>(static_cast<DWORD>(data.size()), request->OutputLength());
    if (size != 0) std::memcpy(request->Output(), data.data(), size);
    *bytes = size;
    return status;
  };
}

class DeviceIoTest : public ::testing::Test {
 protected:
  DeviceIoTest() : pended_(NewEvent(false, false)) {
    qrv::posix::RegisterDevice(kPath, &device_);
    device_.RespondWith(Answer(qrv::posix::kStatusSuccess, ""));
  }
  ~DeviceIoTest() override { qrv::posix::UnregisterDevice(kPath); }

  HANDLE Open(bool overlapped) {
    HANDLE file = CreateFileW(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << "CreateFileW failed with " << GetLastError();
    return file;
  }

  // Makes the device pend every request it gets, parking it.
  void PendRequests() {
    device_.RespondWith([this](IoRequest* request, DWORD*) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        parked_.push_back(request);
      }
      SetEvent(pended_.get());
      return qrv::posix::kStatusPending;
    });
  }

  // Cancels like a driver's cancel routine: a request still parked is
  // taken back and completed as cancelled.
  void CancelParked() {
    device_.on_cancel = [this](IoRequest* request) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = std::find(parked_.begin(), parked_.end(), request);
        if (found == parked_.end()) return;
        parked_.erase(found);
      }
      request->Complete(qrv::posix::kStatusCancelled, 0);
    };
  }

  // The oldest parked request, once the device has one.
  IoRequest* TakeParked() {
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!parked_.empty()) {
          IoRequest* request = parked_.front();
          parked_.erase(parked_.begin());
          return request;
        }
      }
      if (!SignalledInTime(pended_.get())) return nullptr;
    }
  }

  // Completes the next parked request from another thread, writing `data`
  // to its output first, as a driver's completion path does.
  HANDLE CompleteLater(NTSTATUS status, std::string data) {
    completion_ = [this, status, data]() -> DWORD {
      IoRequest* request = TakeParked();
      if (request == nullptr) return 1;
      DWORD bytes = 0;
      Answer(status, data)(request, &bytes);
      request->Complete(status, bytes);
      return 0;
    };
    return StartThread(&completion_);
  }

  ScriptedDevice device_;
  ScopedHandle pended_;
  std::mutex mutex_;
  std::vector<IoRequest*> parked_;  // GUARDED_BY(mutex_)
  std::function<DWORD()> completion_;
};

TEST_F(DeviceIoTest, OpensOnlyRegisteredDevices) {
  qrv::posix::UnregisterDevice(kPath);
  SetLastError(0);
  EXPECT_EQ(CreateFileW(kPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  qrv::posix::RegisterDevice(kPath, &device_);
  ScopedHandle file(Open(true));
  // Object names ignore case, as on Windows.
  ScopedHandle other(
      CreateFileW(L"\\\\.\\seamtestdevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_NE(other.get(), INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(other.release()));
  EXPECT_EQ(device_.handles_closed(), 1);

  // Unregistering stops new opens; the open handle keeps working.
  qrv::posix::UnregisterDevice(kPath);
  EXPECT_EQ(CreateFileW(kPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  DWORD bytes = 1;
  EXPECT_TRUE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(bytes, 0u);
}

TEST_F(DeviceIoTest, RefusesHandlesThatAreNotDevices) {
  ScopedHandle event(NewEvent(true, false));
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(event.get(), kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  HANDLE file = Open(false);
  ASSERT_TRUE(CloseHandle(file));
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(file, kBuffered, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(DeviceIoTest, BufferedRequestSeesOneSystemBufferHoldingTheInput) {
  char input[4] = {'a', 'b', 'c', 'd'};
  char output[8] = {};
  bool same_buffer = false, private_buffer = false, holds_input = false;
  DWORD input_length = 0, output_length = 0;
  device_.RespondWith([&](IoRequest* request, DWORD* bytes) {
    same_buffer = request->Input() == request->Output();
    private_buffer = request->Input() != input && request->Output() != output;
    holds_input = std::memcmp(request->Output(), "abcd", 4) == 0;
    input_length = request->InputLength();
    output_length = request->OutputLength();
    return Answer(qrv::posix::kStatusSuccess, "12345678")(request, bytes);
  });
  ScopedHandle file(Open(false));
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(file.get(), kBuffered, input, sizeof input, output, sizeof output,
                              &bytes, nullptr));
  EXPECT_TRUE(same_buffer);
  EXPECT_TRUE(private_buffer);
  EXPECT_TRUE(holds_input);
  EXPECT_EQ(input_length, 4u);
  EXPECT_EQ(output_length, 8u);
  EXPECT_EQ(bytes, 8u);
  EXPECT_EQ(std::string(output, 8), "12345678");
}

struct StatusCase {
  const char* name;
  NTSTATUS status;
  BOOL result;
  DWORD error;  // GetLastError after a FALSE result.
  bool copied;  // Whether buffered output reaches the caller.
};

class BufferedStatusTest : public DeviceIoTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(BufferedStatusTest, CopiesBackOnlyWithoutErrorAndMapsTheStatus) {
  const StatusCase& c = GetParam();
  device_.RespondWith(Answer(c.status, "data"));
  ScopedHandle file(Open(false));
  char output[4] = {'-', '-', '-', '-'};
  DWORD bytes = 99;
  SetLastError(0);
  EXPECT_EQ(
      DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, &bytes, nullptr),
      c.result);
  if (!c.result) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(std::string(output, 4), c.copied ? "data" : "----");
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, BufferedStatusTest,
    ::testing::Values(
        StatusCase{"Success", qrv::posix::kStatusSuccess, TRUE, 0, true},
        StatusCase{"Informational", 0x40000006, TRUE, 0, true},
        StatusCase{"BufferOverflow", qrv::posix::kStatusBufferOverflow, FALSE, 234, true},
        StatusCase{"BufferTooSmall", qrv::posix::kStatusBufferTooSmall, FALSE, 122, false},
        StatusCase{"Cancelled", qrv::posix::kStatusCancelled, FALSE, 995, false},
        StatusCase{"Win32Error111", qrv::posix::StatusFromWin32Error(111), FALSE, 111, false}),
    [](const ::testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(DeviceIoTest, DirectOutputReachesTheCallerEvenOnError) {
  const char input[2] = {'i', 'n'};
  char output[4] = {};
  bool caller_output = false, private_input = false;
  device_.RespondWith([&](IoRequest* request, DWORD* bytes) {
    caller_output = request->Output() == output;
    private_input = request->Input() != input && std::memcmp(request->Input(), "in", 2) == 0;
    return Answer(qrv::posix::kStatusBufferTooSmall, "size")(request, bytes);
  });
  ScopedHandle file(Open(false));
  SetLastError(0);
  EXPECT_FALSE(DeviceIoControl(file.get(), kOutDirect, const_cast<char*>(input), sizeof input,
                               output, sizeof output, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(caller_output);
  EXPECT_TRUE(private_input);
  EXPECT_EQ(std::string(output, 4), "size");
}

TEST_F(DeviceIoTest, OverlappedRequestCompletedAtOnceResetsThenSetsItsEvent) {
  ScopedHandle event(NewEvent(true, true));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  bool reset_at_issue = false, pending_at_issue = false, overlapped_request = false;
  device_.RespondWith([&](IoRequest* request, DWORD* bytes) {
    reset_at_issue = WaitForSingleObject(event.get(), 0) == WAIT_TIMEOUT;
    pending_at_issue = overlapped.Internal == static_cast<ULONG_PTR>(qrv::posix::kStatusPending);
    overlapped_request = request->Overlapped();
    return Answer(qrv::posix::kStatusSuccess, "ok")(request, bytes);
  });
  ScopedHandle file(Open(true));
  char output[2] = {};
  DWORD bytes = 0;
  ASSERT_TRUE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, &bytes,
                              &overlapped));
  EXPECT_TRUE(reset_at_issue);
  EXPECT_TRUE(pending_at_issue);
  EXPECT_TRUE(overlapped_request);
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(overlapped.Internal, 0u);
  EXPECT_EQ(overlapped.InternalHigh, 2u);
  EXPECT_TRUE(SignalledNow(event.get()));
}

TEST_F(DeviceIoTest, PendingRequestCompletesLaterThroughGetOverlappedResult) {
  PendRequests();
  ScopedHandle event(NewEvent(true, true));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  ScopedHandle file(Open(true));
  char output[4] = {};
  SetLastError(0);
  ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, nullptr,
                               &overlapped));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_FALSE(SignalledNow(event.get()));
  DWORD bytes = 99;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(file.get(), &overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

  ScopedHandle completer(CompleteLater(qrv::posix::kStatusSuccess, "late"));
  ASSERT_TRUE(GetOverlappedResult(file.get(), &overlapped, &bytes, TRUE));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(std::string(output, 4), "late");
  EXPECT_TRUE(SignalledInTime(completer.get()));
}

TEST_F(DeviceIoTest, PendingRequestFailureIsMappedAndKeepsBufferedOutputOut) {
  PendRequests();
  ScopedHandle event(NewEvent(false, false));
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.get();
  ScopedHandle file(Open(true));
  char output[4] = {'-', '-', '-', '-'};
  ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, nullptr,
                               &overlapped));
  ScopedHandle completer(CompleteLater(qrv::posix::kStatusCancelled, "gone"));
  DWORD bytes = 0;
  SetLastError(0);
  EXPECT_FALSE(GetOverlappedResult(file.get(), &overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(std::string(output, 4), "----");
  EXPECT_TRUE(SignalledInTime(completer.get()));
}

TEST_F(DeviceIoTest, GetOverlappedResultWaitsForItsOwnRequestNotASharedEvent) {
  PendRequests();
  ScopedHandle shared(NewEvent(true, false));
  OVERLAPPED first = {}, second = {};
  first.hEvent = second.hEvent = shared.get();
  ScopedHandle file(Open(true));
  ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, nullptr, 0, nullptr, &first));
  ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, nullptr, 0, nullptr, &second));
  IoRequest* first_request = TakeParked();
  IoRequest* second_request = TakeParked();
  ASSERT_NE(second_request, nullptr);
  second_request->Complete(qrv::posix::kStatusSuccess, 0);

  ScopedHandle entering(NewEvent(true, false));
  ScopedHandle done(NewEvent(true, false));
  auto await_first = [&]() -> DWORD {
    DWORD bytes = 0;
    SetEvent(entering.get());
    const BOOL ok = GetOverlappedResult(file.get(), &first, &bytes, TRUE);
    SetEvent(done.get());
    return ok ? bytes : 0xFFFFu;
  };
  ScopedHandle waiter(StartThread(&await_first));
  // The window cannot fail falsely (the request is still held); it starts
  // as the waiter calls, so that a wrong early return has its time to show.
  ASSERT_TRUE(SignalledInTime(entering.get()));
  EXPECT_EQ(WaitForSingleObject(done.get(), 50), WAIT_TIMEOUT)
      << "returned although its own request was still pending";
  first_request->Complete(qrv::posix::kStatusSuccess, 0);
  ASSERT_TRUE(SignalledInTime(waiter.get()));
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeThread(waiter.get(), &code));
  EXPECT_EQ(code, 0u);
}

TEST_F(DeviceIoTest, RequestWithoutEventIsAwaitedOnTheFile) {
  PendRequests();
  OVERLAPPED overlapped = {};
  ScopedHandle file(Open(true));
  char output[4] = {};
  ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, nullptr,
                               &overlapped));
  ScopedHandle completer(CompleteLater(qrv::posix::kStatusSuccess, "file"));
  DWORD bytes = 0;
  ASSERT_TRUE(GetOverlappedResult(file.get(), &overlapped, &bytes, TRUE));
  EXPECT_EQ(bytes, 4u);
  EXPECT_TRUE(SignalledInTime(completer.get()));
}

// A call on a handle not opened for overlapped I/O waits for the completion
// of a request the device pended, with or without an OVERLAPPED.
TEST_F(DeviceIoTest, CallOnAPlainHandleWaitsForCompletion) {
  PendRequests();
  for (const bool with_overlapped : {true, false}) {
    SCOPED_TRACE(with_overlapped ? "with OVERLAPPED" : "without OVERLAPPED");
    ScopedHandle event(NewEvent(true, false));
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event.get();
    ScopedHandle file(Open(false));
    ScopedHandle completer(CompleteLater(qrv::posix::kStatusBufferOverflow, "more"));
    char output[4] = {};
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, &bytes,
                                 with_overlapped ? &overlapped : nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(std::string(output, 4), "more");
    EXPECT_TRUE(SignalledInTime(completer.get()));
    if (with_overlapped) {
      EXPECT_EQ(overlapped.Internal, static_cast<ULONG>(qrv::posix::kStatusBufferOverflow));
      EXPECT_TRUE(SignalledNow(event.get()));
    }
  }
}

// On an overlapped handle a pended request returns at once even without an
// OVERLAPPED, and its completion writes the caller's output afterwards:
// the hazard that makes a caller pass a record and wait.
TEST_F(DeviceIoTest, PendedRequestWithoutOverlappedReturnsAndCompletesLater) {
  PendRequests();
  ScopedHandle file(Open(true));
  char output[4] = {'-', '-', '-', '-'};
  DWORD bytes = 99;
  SetLastError(0);
  EXPECT_FALSE(
      DeviceIoControl(file.get(), kBuffered, nullptr, 0, output, sizeof output, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(std::string(output, 4), "----");
  ScopedHandle completer(CompleteLater(qrv::posix::kStatusSuccess, "late"));
  ASSERT_TRUE(SignalledInTime(completer.get()));
  EXPECT_EQ(std::string(output, 4), "late");
}

TEST(StatusTest, MapsStatusesToWin32Errors) {
  using qrv::posix::Win32ErrorFromStatus;
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusSuccess), ERROR_SUCCESS);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusPending), ERROR_IO_PENDING);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusBufferOverflow), ERROR_MORE_DATA);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusBufferTooSmall), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusCancelled), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusInvalidParameter), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusInvalidDeviceRequest), ERROR_INVALID_FUNCTION);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusUnsuccessful), ERROR_GEN_FAILURE);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusNoMemory), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusObjectNameCollision), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusInsufficientResources),
            ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusInvalidDeviceState), ERROR_BAD_COMMAND);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::kStatusNotFound), ERROR_NOT_FOUND);
  EXPECT_EQ(Win32ErrorFromStatus(qrv::posix::StatusFromWin32Error(ERROR_BUFFER_OVERFLOW)),
            ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(Win32ErrorFromStatus(static_cast<NTSTATUS>(0xC0000999u)), ERROR_MR_MID_NOT_FOUND);
  // Only the FACILITY_WIN32 bits carry an error: a customer status does not.
  EXPECT_EQ(Win32ErrorFromStatus(static_cast<NTSTATUS>(0xE007006Fu)), ERROR_MR_MID_NOT_FOUND);
}

// CancelIoEx reaches only the requests of its handle and record, whichever
// thread issued them, and a completion racing with it neither runs twice
// nor touches a freed request (ASan/TSan watch the race loop).
TEST_F(DeviceIoTest, CancelIoExCancelsTheNamedRequestsInFlight) {
  PendRequests();
  CancelParked();
  ScopedHandle file(Open(true)), other(Open(true)), event(NewEvent(true, false));
  OVERLAPPED first = {}, second = {};
  for (OVERLAPPED* record : {&first, &second}) {
    ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, nullptr, 0, nullptr, record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  }
  const struct {
    HANDLE handle;
    OVERLAPPED* record;
    BOOL result;
    DWORD error;
  } cases[] = {{event.get(), nullptr, FALSE, ERROR_INVALID_HANDLE},
               {other.get(), nullptr, FALSE, ERROR_NOT_FOUND},
               {file.get(), &first, TRUE, 0},
               {file.get(), &first, FALSE, ERROR_NOT_FOUND},
               {file.get(), nullptr, TRUE, 0}};
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(CancelIoEx(c.handle, c.record), c.result);
    EXPECT_EQ(GetLastError(), c.error);
    DWORD bytes = 0;
    if (c.record == &first) {
      EXPECT_FALSE(GetOverlappedResult(file.get(), &second, &bytes, FALSE)) << "cancelled both";
    }
  }
  for (OVERLAPPED* record : {&first, &second}) {
    DWORD bytes = 1;
    EXPECT_FALSE(GetOverlappedResult(file.get(), record, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  }

  for (int round = 0; round < 200; ++round) {
    OVERLAPPED record = {};
    ASSERT_FALSE(DeviceIoControl(file.get(), kBuffered, nullptr, 0, nullptr, 0, nullptr, &record));
    std::function<DWORD()> complete = [this] {
      IoRequest* request = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!parked_.empty()) request = parked_.front();
        if (request != nullptr) parked_.clear();
      }
      if (request != nullptr) request->Complete(qrv::posix::kStatusSuccess, 0);
      return DWORD{0};
    };
    ScopedHandle completer(StartThread(&complete));
    CancelIoEx(file.get(), &record);
    DWORD bytes = 0;
    const BOOL completed = GetOverlappedResult(file.get(), &record, &bytes, TRUE);
    EXPECT_TRUE(completed || GetLastError() == ERROR_OPERATION_ABORTED) << GetLastError();
    ASSERT_TRUE(SignalledInTime(completer.get()));
  }
}

}  // namespace
}  // namespace seam_test
