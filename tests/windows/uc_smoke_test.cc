// Smoke test of the reference driver under Wine: the port protocol spoken
// with raw DeviceIoControl on \\.\QRVDev (the synchronous codes without an
// OVERLAPPED on the overlapped handle, which the driver finishes at once
// unless a fault holds one back; receives overlapped), while the test plays
// the driver's own side through the control device.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "harness/kernel_driver_control.h"
#include "harness/stopwatch.h"
#include "harness/win_handle.h"

namespace {

using qrv::wintest::Handle;
using qrv::wintest::KernelDriverControl;
using qrv::wintest::MessageOutcome;
using qrv::wintest::Stopwatch;

// The protocol's codes, built from the platform's layout macro and checked
// against their listed values.
constexpr DWORD kCreateEchoPort = CTL_CODE(0x8300, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kEcho = CTL_CODE(0x8300, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kCloseEchoPort = CTL_CODE(0x8300, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kAllocatePort = CTL_CODE(0x8300, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kFreePort = CTL_CODE(0x8300, 0x905, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kBindThread = CTL_CODE(0x8300, 0x906, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kReceive = CTL_CODE(0x8300, 0x907, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr DWORD kReply = CTL_CODE(0x8300, 0x908, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
static_assert(kCreateEchoPort == 0x83002404u && kEcho == 0x83002408u, "codes");
static_assert(kCloseEchoPort == 0x8300240Cu && kAllocatePort == 0x83002410u, "codes");
static_assert(kFreePort == 0x83002414u && kBindThread == 0x83002418u, "codes");
static_assert(kReceive == 0x8300241Eu && kReply == 0x83002421u, "codes");

constexpr uint32_t kEchoMagic = 0x4563686Fu;
constexpr uint32_t kNoPort = 16;
constexpr uint32_t kNoIndex = 0xFFFFFFFFu;
constexpr DWORD kWaitMs = 5000;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120u;
constexpr uint32_t kStatusInvalidDeviceState = 0xC0000184u;

struct PortRequest {
  uint8_t kind;
  uint8_t unused[3];
  uint32_t serviceId;
  uint32_t threadCount;
};
static_assert(sizeof(PortRequest) == 12 && offsetof(PortRequest, threadCount) == 8, "layout");

struct ReceiveRequest {
  uint32_t port;
  uint32_t threadIndex;
  uint8_t largeBuffer;
  uint8_t zero[3];
};
static_assert(sizeof(ReceiveRequest) == 12 && offsetof(ReceiveRequest, largeBuffer) == 8, "layout");

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

// One open handle to \\.\QRVDev with the library's synchronous requests.
class ProtocolDevice {
 public:
  ProtocolDevice()
      : handle_(CreateFileW(L"\\\\.\\QRVDev", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr)),
        openError_(handle_.valid() ? 0 : GetLastError()) {}

  bool valid() const { return handle_.valid(); }
  DWORD openError() const { return openError_; }
  HANDLE get() const { return handle_.get(); }
  void Close() { handle_.Reset(); }

  // ERROR_SUCCESS, or the error the request failed with.
  DWORD Sync(DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength) {
    DWORD bytes = 0;
    if (DeviceIoControl(handle_.get(), code, const_cast<void*>(input), inputLength, output,
                        outputLength, &bytes, nullptr))
      return ERROR_SUCCESS;
    return GetLastError();
  }
  uint32_t CreateEchoPort() { return CreatePort(kCreateEchoPort, 1, 15, 1); }
  uint32_t AllocatePort(uint32_t serviceId, uint32_t threads) {
    return CreatePort(kAllocatePort, 0, serviceId, threads);
  }
  DWORD Echo(uint32_t port, uint32_t* answer) {
    uint32_t packet[2] = {port, kEchoMagic};
    return Sync(kEcho, packet, sizeof(packet), answer, sizeof(*answer));
  }
  uint32_t Bind(uint32_t port) {
    uint32_t index = kNoIndex;
    return Sync(kBindThread, &port, sizeof(port), &index, sizeof(index)) == ERROR_SUCCESS
               ? index
               : kNoIndex;
  }
  // `answer` must be writable memory: Wine 8 fails a METHOD_IN_DIRECT
  // request whose output buffer is read-only (a string literal, say) with
  // ERROR_INVALID_USER_BUFFER, where Windows only probes it for reading.
  DWORD Reply(uint32_t port, uint32_t index, const void* answer, DWORD length) {
    uint32_t header[2] = {port, index};
    return Sync(kReply, header, sizeof(header), const_cast<void*>(answer), length);
  }
  DWORD FreePort(uint32_t port) { return Sync(kFreePort, &port, sizeof(port), nullptr, 0); }

 private:
  uint32_t CreatePort(DWORD code, uint8_t kind, uint32_t serviceId, uint32_t threads) {
    // Bytes 1 to 3 carry nothing; the driver must not look at them.
    PortRequest request{kind, {0xA5, 0xA5, 0xA5}, serviceId, threads};
    uint32_t port = kNoPort;
    return Sync(code, &request, sizeof(request), &port, sizeof(port)) == ERROR_SUCCESS ? port
                                                                                       : kNoPort;
  }

  Handle handle_;
  DWORD openError_;
};

// One overlapped receive with its own buffer and event. A receive still
// pending when it goes away is cancelled and awaited first, so the driver
// never writes into freed memory.
class Receive {
 public:
  Receive(HANDLE device, uint32_t port, uint32_t index, uint32_t size, uint8_t large = 0)
      : device_(device),
        request_{port, index, large, {0, 0, 0}},
        buffer_(size, 0xCC),
        event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    overlapped_.hEvent = event_.get();
  }
  ~Receive() {
    if (!pending_) return;
    CancelIoEx(device_, &overlapped_);
    WaitForSingleObject(event_.get(), kWaitMs);
  }
  Receive(const Receive&) = delete;
  Receive& operator=(const Receive&) = delete;

  // ERROR_SUCCESS when it completed at once, ERROR_IO_PENDING, or the
  // error it failed with at once.
  DWORD Issue() {
    if (DeviceIoControl(device_, kReceive, &request_, sizeof(request_), buffer_.data(),
                        static_cast<DWORD>(buffer_.size()), &bytes_, &overlapped_))
      return ERROR_SUCCESS;
    DWORD error = GetLastError();
    pending_ = error == ERROR_IO_PENDING;
    return error;
  }
  // For a pending receive: waits at most kWaitMs for its completion and
  // returns its result as GetOverlappedResult reports it, or ERROR_TIMEOUT.
  DWORD Await() {
    if (!Completes()) return ERROR_TIMEOUT;
    if (GetOverlappedResult(device_, &overlapped_, &bytes_, FALSE)) return ERROR_SUCCESS;
    return GetLastError();
  }
  // Cancels a pending receive and returns its result.
  DWORD Cancel() {
    CancelIoEx(device_, &overlapped_);
    return Await();
  }
  // Waits at most kWaitMs for a pending receive to complete, without
  // touching its handle (which may be closed by then).
  bool Completes() {
    if (WaitForSingleObject(event_.get(), kWaitMs) != WAIT_OBJECT_0) return false;
    pending_ = false;
    return true;
  }

  ULONG_PTR Status() const { return overlapped_.Internal; }
  DWORD bytes() const { return bytes_; }
  uint32_t Header() const {
    uint32_t header;
    std::memcpy(&header, buffer_.data(), sizeof(header));
    return header;
  }
  std::vector<uint8_t> Payload() const {
    return std::vector<uint8_t>(buffer_.begin() + 4, buffer_.begin() + bytes_);
  }

 private:
  HANDLE device_;
  ReceiveRequest request_;
  std::vector<uint8_t> buffer_;
  Handle event_;
  OVERLAPPED overlapped_{};
  DWORD bytes_ = 0;
  bool pending_ = false;
};

class UcSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DWORD error = 0;
    control_ = KernelDriverControl::Open(&error);
    ASSERT_NE(control_, nullptr) << "cannot open the control device: error " << error;
    ASSERT_TRUE(device_.valid()) << "cannot open \\\\.\\QRVDev: error " << device_.openError();
    ClearFaults();
    std::vector<QrvCtlLogEntry> ignored;
    ASSERT_EQ(control_->ReadLog(0, &ignored, &logStart_), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (control_) ClearFaults();
  }

  void ClearFaults() {
    for (uint32_t kind = 0; kind < QRVCTL_FAULT_KIND_COUNT; kind++)
      ASSERT_EQ(control_->ClearFault(kind), ERROR_SUCCESS);
  }
  // A service port with `threads` thread indexes bound, 0 upwards.
  uint32_t BoundServicePort(uint32_t serviceId, uint32_t threads) {
    uint32_t port = device_.AllocatePort(serviceId, threads);
    EXPECT_LT(port, kNoPort);
    for (uint32_t index = 0; index < threads; index++) EXPECT_EQ(device_.Bind(port), index);
    return port;
  }
  uint32_t Post(uint32_t serviceId, uint32_t header, const std::vector<uint8_t>& payload,
                uint32_t slot = QRVCTL_ANY_SLOT) {
    uint32_t id = 0;
    EXPECT_EQ(control_->Post(serviceId, header, payload.data(),
                             static_cast<uint32_t>(payload.size()), slot, &id),
              static_cast<DWORD>(ERROR_SUCCESS));
    return id;
  }
  MessageOutcome Outcome(uint32_t id) {
    MessageOutcome outcome;
    EXPECT_EQ(control_->Outcome(id, false, &outcome), static_cast<DWORD>(ERROR_SUCCESS));
    return outcome;
  }
  QrvCtlCounters Counters() {
    QrvCtlCounters counters{};
    EXPECT_EQ(control_->Counters(&counters), static_cast<DWORD>(ERROR_SUCCESS));
    return counters;
  }
  // The protocol requests the driver logged since SetUp.
  std::vector<QrvCtlLogEntry> Log() {
    std::vector<QrvCtlLogEntry> entries;
    uint32_t next = 0;
    EXPECT_EQ(control_->ReadLog(logStart_, &entries, &next), static_cast<DWORD>(ERROR_SUCCESS));
    return entries;
  }

  ProtocolDevice device_;
  std::unique_ptr<KernelDriverControl> control_;
  uint32_t logStart_ = 0;
};

TEST_F(UcSmokeTest, EchoPortAnswersTheMagic) {
  uint32_t port = device_.CreateEchoPort();
  ASSERT_LT(port, kNoPort);
  uint32_t answer = 0;
  ASSERT_EQ(device_.Echo(port, &answer), static_cast<DWORD>(ERROR_SUCCESS));
  const uint8_t expected[4] = {0x6F, 0x68, 0x63, 0x45};
  EXPECT_EQ(std::memcmp(&answer, expected, 4), 0) << std::hex << answer;
  EXPECT_EQ(device_.Sync(kCloseEchoPort, &port, sizeof(port), nullptr, 0),
            static_cast<DWORD>(ERROR_SUCCESS));
  DWORD closed = device_.Echo(port, &answer);
  EXPECT_NE(closed, static_cast<DWORD>(ERROR_SUCCESS)) << "echo on a closed port";

  std::vector<QrvCtlLogEntry> log = Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].code, kCreateEchoPort);
  EXPECT_EQ(log[0].kind, 1u);
  EXPECT_EQ(log[0].serviceId, 15u);
  EXPECT_EQ(log[0].threadCount, 1u);
  EXPECT_EQ(log[1].code, kEcho);
  EXPECT_EQ(log[1].word, kEchoMagic);
  EXPECT_EQ(log[1].information, 4u);
  EXPECT_EQ(log[2].code, kCloseEchoPort);
  EXPECT_EQ(log[3].status, kStatusInvalidDeviceState);
  std::printf("[ INFO     ] echo on a closed port fails with error %lu\n", closed);
}

TEST_F(UcSmokeTest, PortsAreSharedAndThreadIndexesStayBelowTheThreadCount) {
  uint32_t port = device_.AllocatePort(3, 3);
  EXPECT_EQ(port, 0u) << "earlier tests' handles closed, so their ports are free again";
  EXPECT_EQ(device_.CreateEchoPort(), 1u) << "the echo port takes the lowest free port";
  EXPECT_EQ(device_.Bind(port), 0u);
  EXPECT_EQ(device_.Bind(port), 1u);
  EXPECT_EQ(device_.Bind(port), 2u);
  EXPECT_EQ(device_.Bind(port), kNoIndex) << "no fourth thread index";
  EXPECT_EQ(device_.AllocatePort(3, 3), kNoPort) << "one port per service";
}

TEST_F(UcSmokeTest, PortAnswerFaultSucceedsWithSixteen) {
  ASSERT_EQ(control_->SetFault(QrvCtlFault{QRVCTL_FAULT_PORT_ANSWER, 0, 1, 16, 0, 0, 0}),
            static_cast<DWORD>(ERROR_SUCCESS));
  PortRequest request{0, {0, 0, 0}, 2, 3};
  uint32_t port = 0;
  EXPECT_EQ(device_.Sync(kAllocatePort, &request, sizeof(request), &port, sizeof(port)),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(port, 16u);
  uint32_t id = 0;
  EXPECT_EQ(control_->Post(2, 1, nullptr, 0, QRVCTL_ANY_SLOT, &id),
            static_cast<DWORD>(ERROR_NOT_FOUND))
      << "the faulted request took no port, so service 2 has none to post to";
}

TEST_F(UcSmokeTest, PendingReceiveIsCompletedByAPostedMessage) {
  uint32_t port = BoundServicePort(4, 1);
  Receive receive(device_.get(), port, 0, 1024);
  ASSERT_EQ(receive.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_TRUE(control_->WaitForPendingReceives(4, 1, kWaitMs));

  uint32_t id = Post(4, 1, {'h', 'e', 'l', 'l', 'o'});
  ASSERT_EQ(receive.Await(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(receive.bytes(), 9u);
  EXPECT_EQ(receive.Header(), 1u);
  EXPECT_EQ(receive.Payload(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
  EXPECT_EQ(Outcome(id).record.state, static_cast<uint32_t>(QRVCTL_MSG_DELIVERED));

  char answer[] = "world";  // writable: see ProtocolDevice::Reply
  ASSERT_EQ(device_.Reply(port, 0, answer, 5), static_cast<DWORD>(ERROR_SUCCESS));
  MessageOutcome outcome;
  ASSERT_TRUE(control_->WaitForOutcome(id, kWaitMs, &outcome));
  EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), "world");
}

TEST_F(UcSmokeTest, TooSmallReportArrivesThroughTheCompletion) {
  uint32_t port = BoundServicePort(5, 1);
  Receive first(device_.get(), port, 0, 1024);
  ASSERT_EQ(first.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
  std::vector<uint8_t> payload = Pattern(2000, 3);
  uint32_t id = Post(5, 0x11, payload);
  EXPECT_EQ(first.Await(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(first.Header(), 2004u)
      << "the size word reaches the caller although the request failed";

  Receive large(device_.get(), port, 0, 2004, 1);
  ASSERT_EQ(large.Issue(), static_cast<DWORD>(ERROR_SUCCESS)) << "the message waits for this index";
  EXPECT_EQ(large.bytes(), 2004u);
  EXPECT_EQ(large.Header(), 0x11u);
  EXPECT_EQ(large.Payload(), payload);
  ASSERT_EQ(device_.Reply(port, 0, nullptr, 0), static_cast<DWORD>(ERROR_SUCCESS));

  MessageOutcome outcome = Outcome(id);
  EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(outcome.record.replyLength, 0u);
  EXPECT_EQ(outcome.record.tooSmallReports, 1u);
  std::vector<QrvCtlLogEntry> log = Log();
  ASSERT_FALSE(log.empty());
  const QrvCtlLogEntry& reissued = log[log.size() - 2];
  EXPECT_EQ(reissued.code, kReceive);
  EXPECT_EQ(reissued.largeBuffer, 1u);
  EXPECT_EQ(reissued.outputLength, 2004u);
}

TEST_F(UcSmokeTest, TooSmallReportFailsAReceiveAtOnce) {
  uint32_t port = BoundServicePort(6, 2);
  std::vector<uint8_t> payload = Pattern(2000, 9);
  uint32_t id = Post(6, 1, payload, 1);
  for (int attempt = 0; attempt < 2; attempt++) {
    Receive small(device_.get(), port, 1, 1024);
    EXPECT_EQ(small.Issue(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER))
        << "attempt " << attempt;
    EXPECT_EQ(small.Header(), 2004u);
  }
  Receive large(device_.get(), port, 1, 2004, 1);
  ASSERT_EQ(large.Issue(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(large.Payload(), payload);
  char answer[] = "ok";
  ASSERT_EQ(device_.Reply(port, 1, answer, 2), static_cast<DWORD>(ERROR_SUCCESS));
  MessageOutcome outcome = Outcome(id);
  EXPECT_EQ(outcome.record.tooSmallReports, 2u);
  EXPECT_EQ(outcome.record.slot, 1u);
  EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
}

TEST_F(UcSmokeTest, ReplyIsReadFromTheCallersOutputBuffer) {
  uint32_t port = BoundServicePort(9, 1);
  uint32_t id = Post(9, 2, {1});
  Receive receive(device_.get(), port, 0, 1024);
  ASSERT_EQ(receive.Issue(), static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<uint8_t> answer = Pattern(9000, 5);  // spans pages
  ASSERT_EQ(device_.Reply(port, 0, answer.data(), static_cast<DWORD>(answer.size())),
            static_cast<DWORD>(ERROR_SUCCESS));
  MessageOutcome outcome = Outcome(id);
  EXPECT_EQ(outcome.record.replyLength, 9000u);
  EXPECT_EQ(outcome.reply, answer);
  EXPECT_NE(device_.Reply(port, 0, answer.data(), 5), static_cast<DWORD>(ERROR_SUCCESS))
      << "a message is answered once";
}

TEST_F(UcSmokeTest, MessageWithHeaderZeroWantsNoReply) {
  uint32_t port = BoundServicePort(10, 1);
  uint32_t id = Post(10, 0, {7, 7});
  Receive receive(device_.get(), port, 0, 1024);
  ASSERT_EQ(receive.Issue(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(receive.Header(), 0u);
  EXPECT_EQ(Outcome(id).record.state, static_cast<uint32_t>(QRVCTL_MSG_NOT_WANTED));
}

TEST_F(UcSmokeTest, FreePortCompletesPendingReceiveAsAborted) {
  uint32_t port = BoundServicePort(7, 2);
  Receive pending(device_.get(), port, 0, 1024);
  ASSERT_EQ(pending.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
  uint32_t queued = Post(7, 1, {1}, 1);

  Stopwatch watch;
  ASSERT_EQ(device_.FreePort(port), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(pending.Await(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  std::printf("[ TIMING   ] free port to aborted receive %.2f ms\n", watch.ElapsedMs());
  MessageOutcome outcome = Outcome(queued);
  EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_FAILED_BACK));
  EXPECT_EQ(outcome.record.failReason, static_cast<uint32_t>(QRVCTL_FAIL_PORT_FREED));

  Receive late(device_.get(), port, 1, 1024);
  // Refused for the port's state, as the simulated driver refuses it.
  EXPECT_EQ(late.Issue(), static_cast<DWORD>(ERROR_BAD_COMMAND)) << "nothing waits on a freed port";
}

TEST_F(UcSmokeTest, ClosingTheHandleCancelsItsPendingReceiveAndFreesItsPort) {
  ProtocolDevice other;
  ASSERT_TRUE(other.valid());
  uint32_t port = other.AllocatePort(8, 1);
  ASSERT_EQ(other.Bind(port), 0u);
  Receive pending(other.get(), port, 0, 1024);
  ASSERT_EQ(pending.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
  other.Close();
  ASSERT_TRUE(pending.Completes());
  EXPECT_EQ(pending.Status(), kStatusCancelled);
  EXPECT_EQ(control_->ServicePort(8), kNoPort);
}

TEST_F(UcSmokeTest, CancelledReceiveLeavesItsIndexFreeForTheNextOne) {
  uint32_t port = BoundServicePort(13, 1);
  QrvCtlCounters before = Counters();
  Receive cancelled(device_.get(), port, 0, 1024);
  ASSERT_EQ(cancelled.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(cancelled.Cancel(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(Counters().cancelled - before.cancelled, 1u) << "the driver's cancel routine ran";

  Receive next(device_.get(), port, 0, 1024);
  ASSERT_EQ(next.Issue(), static_cast<DWORD>(ERROR_IO_PENDING)) << "the index is free again";
  Post(13, 0, {1});
  EXPECT_EQ(next.Await(), static_cast<DWORD>(ERROR_SUCCESS));
}

struct Poster {
  KernelDriverControl* control;
  HANDLE go;
  DWORD result;
};

DWORD WINAPI PostWhenReleased(LPVOID parameter) {
  Poster* poster = static_cast<Poster*>(parameter);
  uint32_t id = 0;
  if (WaitForSingleObject(poster->go, kWaitMs) == WAIT_OBJECT_0)
    poster->result = poster->control->Post(14, 0, nullptr, 0, QRVCTL_ANY_SLOT, &id);
  return 0;
}

TEST_F(UcSmokeTest, WaitUntilWakesOnAChangeAndGivesUpAfterItsTimeout) {
  Stopwatch watch;
  EXPECT_FALSE(control_->WaitUntil(200, [] { return false; }));
  double waited = watch.ElapsedMs();
  EXPECT_GE(waited, 150.0);
  EXPECT_LT(waited, 4000.0);

  BoundServicePort(14, 1);
  QrvCtlCounters before = Counters();
  Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Poster poster{control_.get(), go.get(), ERROR_TIMEOUT};
  Handle thread(CreateThread(nullptr, 0, PostWhenReleased, &poster, 0, nullptr));
  ASSERT_TRUE(thread.valid());
  // The first evaluation releases the other thread, whose post is the
  // change the wait must not miss, whenever it lands.
  EXPECT_TRUE(control_->WaitUntil(kWaitMs, [&] {
    SetEvent(go.get());
    return Counters().posted > before.posted;
  }));
  ASSERT_EQ(WaitForSingleObject(thread.get(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(poster.result, static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(UcSmokeTest, PingFaultsHitAfterTheGivenNumberOfPings) {
  uint32_t port = device_.CreateEchoPort();
  ASSERT_LT(port, kNoPort);
  ASSERT_EQ(control_->SetFault(QrvCtlFault{QRVCTL_FAULT_PING_WORD, 2, 1, 0x0BADC0DEu, 0, 0, 0}),
            static_cast<DWORD>(ERROR_SUCCESS));
  std::vector<uint32_t> answers;
  for (int ping = 0; ping < 4; ping++) {
    uint32_t answer = 0;
    EXPECT_EQ(device_.Echo(port, &answer), static_cast<DWORD>(ERROR_SUCCESS));
    answers.push_back(answer);
  }
  EXPECT_EQ(answers, (std::vector<uint32_t>{kEchoMagic, kEchoMagic, 0x0BADC0DEu, kEchoMagic}));

  ASSERT_EQ(control_->SetFault(
                QrvCtlFault{QRVCTL_FAULT_PING_STATUS, 0, 1, kStatusInvalidDeviceState, 0, 0, 0}),
            static_cast<DWORD>(ERROR_SUCCESS));
  uint32_t answer = 0;
  DWORD failed = device_.Echo(port, &answer);
  EXPECT_NE(failed, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(device_.Echo(port, &answer), static_cast<DWORD>(ERROR_SUCCESS));
  std::printf("[ INFO     ] injected ping failure reads as error %lu\n", failed);
}

TEST_F(UcSmokeTest, RoundTripTiming) {
  constexpr int kRounds = 200;
  uint32_t port = BoundServicePort(11, 1);
  QrvCtlCounters before = Counters();
  Stopwatch watch;
  for (int round = 0; round < kRounds; round++) {
    Receive receive(device_.get(), port, 0, 1024);
    ASSERT_EQ(receive.Issue(), static_cast<DWORD>(ERROR_IO_PENDING));
    uint32_t id = Post(11, 1, {static_cast<uint8_t>(round)});
    ASSERT_EQ(receive.Await(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(device_.Reply(port, 0, &round, sizeof(round)), static_cast<DWORD>(ERROR_SUCCESS));
    MessageOutcome outcome;
    ASSERT_EQ(control_->Outcome(id, true, &outcome), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  }
  double elapsed = watch.ElapsedMs();
  std::printf("[ TIMING   ] %d round trips (pend, post, complete, reply, outcome): %.3f ms each\n",
              kRounds, elapsed / kRounds);
  EXPECT_EQ(Counters().answered - before.answered, static_cast<uint32_t>(kRounds));
}

}  // namespace
