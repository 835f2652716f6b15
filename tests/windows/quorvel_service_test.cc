// A registered service's workers in the shipped QUORVEL.DLL against the
// reference driver: replies and their bytes at the driver, oversized
// messages through both too-small paths, and the faults a callback or the
// driver can cause.
#include <cstdio>
#include <cstring>
#include <string>

#include "host/host_fixture.h"
#include "host/msvc_throw.h"

namespace qrv {
namespace wintest {
namespace {

constexpr uint32_t kService = 4;

class Service : public HostTest {
 protected:
  // Init, Register(kService) and all three workers receiving.
  void Start(HostService& service) {
    ASSERT_EQ(Init(), QUORVEL_OK);
    ASSERT_EQ(Register(kService, service), QUORVEL_OK);
    ASSERT_TRUE(WaitForPendingReceives(kService, 3)) << "the workers never received";
    port_ = PortOf(kService);
  }
  std::string Where(uint32_t slot) const {
    return "service[" + std::to_string(kService) + "] port[" + std::to_string(port_) + "] thread[" +
           std::to_string(slot) + "]";
  }
  // The receives one thread index issued, as (LargeBuffer, output length),
  // in order; completions of pended ones left out.
  std::vector<std::pair<uint32_t, uint32_t>> ReceivesOf(uint32_t slot) {
    std::vector<std::pair<uint32_t, uint32_t>> receives;
    for (const auto& entry : RequestsOf(kReceive)) {
      if (entry.threadIndex == slot) receives.emplace_back(entry.largeBuffer, entry.outputLength);
    }
    return receives;
  }
  // Waits until `slot` has issued a receive after the log entry `sequence`:
  // whatever the worker sent for its previous message has reached the
  // driver by then.
  bool AwaitReceiveAfter(uint32_t slot, uint32_t sequence) {
    return WaitUntil([&] {
      for (const auto& entry : RequestsOf(kReceive)) {
        if (entry.threadIndex == slot && entry.sequence > sequence) return true;
      }
      return false;
    });
  }
  // The log entry in which `messageId` was delivered.
  QrvCtlLogEntry DeliveryOf(uint32_t messageId) {
    for (const auto& entry : DriverLog()) {
      if (entry.code == kReceive && entry.messageId == messageId && entry.status == kStatusSuccess)
        return entry;
    }
    ADD_FAILURE() << "message " << messageId << " was never delivered";
    return QrvCtlLogEntry{};
  }

  // Unregister(kService) on a thread of its own, for a stop that is held.
  static DWORD WINAPI UnregisterService(LPVOID test) {
    static_cast<Service*>(test)->Unregister(kService);
    return 0;
  }

  uint32_t port_ = QRVCTL_NO_PORT;
};

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += line;
  return text;
}

TEST_F(Service, HeaderDecidesWhetherTheAnswerTravels) {
  HostService& service = NewService();
  Start(service);
  const uint32_t wanted = Post(kService, 7, Bytes(100, 1));
  MessageOutcome answered = AwaitOutcome(wanted);
  EXPECT_EQ(answered.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(answered.reply, Bytes(100, 1));

  const uint32_t unwanted = Post(kService, 0, Bytes(10, 2));
  EXPECT_EQ(AwaitOutcome(unwanted).record.state, static_cast<uint32_t>(QRVCTL_MSG_NOT_WANTED));
  const QrvCtlLogEntry delivery = DeliveryOf(unwanted);
  EXPECT_EQ(delivery.word, 0u);
  ASSERT_TRUE(AwaitReceiveAfter(delivery.threadIndex, delivery.sequence))
      << "the worker never came back for its next message";

  const auto replies = RequestsOf(kReply);
  ASSERT_EQ(replies.size(), 1u) << "a reply for the message with header 0";
  EXPECT_EQ(replies[0].messageId, wanted);
  EXPECT_EQ(replies[0].inputLength, 8u);
  EXPECT_EQ(replies[0].outputLength, 100u);
  EXPECT_EQ(replies[0].port, port_);
  EXPECT_EQ(replies[0].threadIndex, answered.record.slot);
  EXPECT_EQ(service.calls(), 2);
}

TEST_F(Service, UntouchedAnswerIsSentAsAnEmptyReply) {
  HostService& service = NewService();
  service.SetBehaviour([](ServiceCall&) {});
  Start(service);
  const uint32_t id = Post(kService, 1, Bytes(4, 3));
  MessageOutcome outcome = AwaitOutcome(id);
  EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(outcome.record.replyLength, 0u);
  EXPECT_TRUE(outcome.reply.empty());
  const auto replies = RequestsOf(kReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].messageId, id);
  EXPECT_EQ(replies[0].inputLength, 8u);
  EXPECT_EQ(replies[0].outputLength, 0u);
  EXPECT_EQ(replies[0].threadIndex, outcome.record.slot);
  EXPECT_EQ(replies[0].status, kStatusSuccess);
}

TEST_F(Service, AnswerFromOneOfSeveralBlocks) {
  HostService& service = NewService();
  service.SetBehaviour([&service](ServiceCall& call) {
    void* scratch = call.Allocate(64);
    auto* chosen = static_cast<uint8_t*>(call.Allocate(16));
    void* empty = call.Allocate(0);
    if (scratch == nullptr || chosen == nullptr || empty == nullptr ||
        empty == static_cast<void*>(chosen) || empty == scratch) {
      service.AddViolation("Allocate gave a null or a shared block");
      return;
    }
    std::memset(chosen, 0xAB, 16);
    call.Answer(chosen + 4, 8);
  });
  Start(service);
  // A large message, so that the oversized block shares the message's
  // allocator with the callback's three.
  MessageOutcome large = AwaitOutcome(Post(kService, 1, Bytes(2500, 1)));
  EXPECT_EQ(large.reply, std::vector<uint8_t>(8, 0xAB));
  MessageOutcome small = AwaitOutcome(Post(kService, 1, Bytes(3, 1), large.record.slot));
  EXPECT_EQ(small.reply, std::vector<uint8_t>(8, 0xAB));
}

TEST_F(Service, OversizedMessageThroughThePendingPath) {
  HostService& service = NewService();
  Lock lock;
  std::vector<std::vector<uint8_t>> seen;
  service.SetBehaviour([&](ServiceCall& call) {
    {
      Hold hold(lock);
      seen.push_back(call.Payload());
    }
    call.EchoBack();
  });
  Start(service);
  ::testing::internal::CaptureStdout();
  MessageOutcome large = AwaitOutcome(Post(kService, 9, Bytes(2000, 5)));
  const uint32_t slot = large.record.slot;
  MessageOutcome small = AwaitOutcome(Post(kService, 9, Bytes(10, 6), slot));
  const std::string output = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(output.find("DeviceIoControl"), std::string::npos) << output;
  EXPECT_EQ(large.record.tooSmallReports, 1u);
  EXPECT_EQ(large.reply, Bytes(2000, 5));
  EXPECT_EQ(small.reply, Bytes(10, 6));
  {
    Hold hold(lock);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], Bytes(2000, 5)) << "the payload was not intact in the callback";
  }
  const auto receives = ReceivesOf(slot);
  ASSERT_GE(receives.size(), 3u);
  EXPECT_EQ(receives[0], (std::pair<uint32_t, uint32_t>{0, 1024}));
  EXPECT_EQ(receives[1], (std::pair<uint32_t, uint32_t>{1, 2004})) << "the re-issued receive";
  EXPECT_EQ(receives[2], (std::pair<uint32_t, uint32_t>{0, 1024})) << "the next message's";
  // The first receive pended and was completed as too small with the size.
  bool reported = false;
  for (const auto& entry : DriverLog()) {
    if (entry.code == kReceive && (entry.flags & QRVCTL_LOG_COMPLETION) != 0 &&
        entry.threadIndex == slot && entry.status == kStatusBufferTooSmall) {
      EXPECT_EQ(entry.word, 2004u);
      reported = true;
    }
  }
  EXPECT_TRUE(reported) << "no too-small completion";
}

TEST_F(Service, OversizedMessageThroughTheImmediatePath) {
  HostService& service = NewService();
  Gate& gate = NewGate();
  service.SetBehaviour([&gate](ServiceCall& call) {
    if (call.length() == 1) gate.Pass();
    call.EchoBack();
  });
  Start(service);
  // Hold one worker in its callback, queue the large message for its slot,
  // then let it come back for it: its receive finds the message at once.
  const uint32_t first = Post(kService, 1, {42});
  ASSERT_TRUE(gate.WaitForWaiting(1, kWaitMs)) << "the first message never reached the callback";
  MessageOutcome held;
  ASSERT_EQ(Control().Outcome(first, false, &held), static_cast<DWORD>(ERROR_SUCCESS));
  const uint32_t slot = held.record.slot;
  const uint32_t large = Post(kService, 1, Bytes(3000, 9), slot);
  const size_t before = ReceivesOf(slot).size();

  ::testing::internal::CaptureStdout();
  gate.Open();
  MessageOutcome outcome = AwaitOutcome(large);
  const std::string output = ::testing::internal::GetCapturedStdout();

  EXPECT_EQ(output, Repeat("DeviceIoControl : 122.\n", 5));
  EXPECT_EQ(outcome.reply, Bytes(3000, 9));
  EXPECT_EQ(outcome.record.tooSmallReports, 5u);
  const auto receives = ReceivesOf(slot);
  ASSERT_GE(receives.size(), before + 6);
  for (size_t i = before; i < before + 5; ++i)
    EXPECT_EQ(receives[i], (std::pair<uint32_t, uint32_t>{0, 1024})) << "attempt " << i - before;
  EXPECT_EQ(receives[before + 5], (std::pair<uint32_t, uint32_t>{1, 3004}));
  const auto entries = RequestsOf(kReceive);
  int atOnce = 0;
  for (const auto& entry : entries) {
    if (entry.threadIndex == slot && entry.status == kStatusBufferTooSmall) {
      EXPECT_EQ(entry.word, 3004u);
      ++atOnce;
    }
  }
  EXPECT_EQ(atOnce, 5) << "receives failed at once as too small";
}

TEST_F(Service, RaisingCallbackEndsOnlyItsWorker) {
  HostService& service = NewService();
  service.SetBehaviour([](ServiceCall& call) {
    call.Allocate(32);
    // How an MSVC-built host's `throw` leaves its callback.
    if (call.length() == 1) RaiseMsvcCppException(MsvcThrow{});
    call.EchoBack();
  });
  Start(service);
  const uint32_t raised = Post(kService, 1, {0}, 0);
  ExpectText("quorvel: " + Where(0) + " quit.");
  EXPECT_EQ(ObjectsDestroyed(), 1) << "the thrown object was not destroyed once caught";
  EXPECT_EQ(ObjectsMisdestroyed(), 0);
  for (uint8_t i = 0; i < 6; ++i) {
    MessageOutcome outcome = AwaitOutcome(Post(kService, 1, Bytes(20, i)));
    EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
    EXPECT_EQ(outcome.reply, Bytes(20, i));
    EXPECT_NE(outcome.record.slot, 0u) << "the ended worker served again";
  }
  MessageOutcome pending;
  ASSERT_EQ(Control().Outcome(raised, false, &pending), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(pending.record.state, static_cast<uint32_t>(QRVCTL_MSG_DELIVERED))
      << "a reply was sent";
  EXPECT_EQ(TextsStartingWith("quorvel: service["),
            std::vector<std::string>{"quorvel: " + Where(0) + " quit."});
  EXPECT_TRUE(TextsStartingWith("quorvel: connection").empty());
  EXPECT_TRUE(TextsStartingWith("quorvel: reply").empty());

  UnInit();
  ASSERT_EQ(Control().Outcome(raised, false, &pending), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(pending.record.state, static_cast<uint32_t>(QRVCTL_MSG_FAILED_BACK));
  EXPECT_EQ(pending.record.failReason, static_cast<uint32_t>(QRVCTL_FAIL_PORT_FREED));
}

TEST_F(Service, FailedReplyEndsOnlyItsWorker) {
  HostService& service = NewService();
  Start(service);
  Arm(QRVCTL_FAULT_REPLY_STATUS, 0, 1, kStatusInvalidDeviceState);
  MessageOutcome failed = AwaitOutcome(Post(kService, 1, Bytes(5, 1)));
  EXPECT_EQ(failed.record.state, static_cast<uint32_t>(QRVCTL_MSG_FAILED_BACK));
  EXPECT_EQ(failed.record.failReason, static_cast<uint32_t>(QRVCTL_FAIL_REPLY_FAULT));
  const uint32_t slot = failed.record.slot;
  ExpectText("quorvel: reply failed. " + Where(slot));
  ExpectText("quorvel: " + Where(slot) + " quit.");
  for (uint8_t i = 0; i < 4; ++i) {
    MessageOutcome outcome = AwaitOutcome(Post(kService, 1, Bytes(5, i)));
    EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
    EXPECT_NE(outcome.record.slot, slot) << "the ended worker served again";
  }
  EXPECT_EQ(TextsStartingWith("quorvel: service["),
            std::vector<std::string>{"quorvel: " + Where(slot) + " quit."});
  EXPECT_EQ(TextsStartingWith("quorvel: reply failed.").size(), 1u);
}

// A callback that does not return holds Unregister: after 5 s the library
// names the service, port and thread it still waits for, once, and waits on.
TEST_F(Service, StopHeldByACallbackSaysWhatItWaitsForOnceAndWaitsOn) {
  HostService& service = NewService();
  Gate& gate = NewGate();
  DWORD heldThread = 0;  // written before the gate's lock, read after it
  service.SetBehaviour([&gate, &heldThread](ServiceCall& call) {
    heldThread = GetCurrentThreadId();
    gate.Pass();
    call.EchoBack();
  });
  Start(service);
  const uint32_t message = Post(kService, 1, {7});
  ASSERT_TRUE(gate.WaitForWaiting(1, kWaitMs)) << "the message never reached the callback";
  Handle stopper(CreateThread(nullptr, 0, &UnregisterService, this, 0, nullptr));
  ASSERT_TRUE(stopper.get() != nullptr);
  ExpectText("quorvel: still waiting for service[4] port[" + std::to_string(port_) +
             "] thread id[" + std::to_string(heldThread) + "] after 5 s.");
  const bool stoppedBeforeRelease = WaitForSingleObject(stopper.get(), 0) == WAIT_OBJECT_0;
  gate.Open();
  ASSERT_EQ(WaitForSingleObject(stopper.get(), kWaitMs), WAIT_OBJECT_0)
      << "Unregister never returned";
  EXPECT_FALSE(stoppedBeforeRelease) << "Unregister returned while a callback still ran";
  const auto waiting = TextsStartingWith("quorvel: still waiting");
  EXPECT_EQ(waiting.size(), 1u);
  for (const std::string& line : waiting) std::printf("[ LOG      ] %s\n", line.c_str());
  const uint32_t state = AwaitOutcome(message).record.state;
  EXPECT_TRUE(state == QRVCTL_MSG_ANSWERED || state == QRVCTL_MSG_FAILED_BACK) << state;
}

// A synchronous request that the driver answers pending is awaited, so the
// library goes on exactly as if it had been answered at once: every worker
// serves, the reply bytes arrive whole, and the heartbeat goes on.
struct PendedCase {
  const char* name;
  uint32_t code;
  bool ignores = false;  // HeldRequest: every request that pends ignores cancellation
};

class PendedRequest : public Service, public ::testing::WithParamInterface<PendedCase> {};

TEST_P(PendedRequest, CompletesAsIfAnsweredAtOnce) {
  constexpr uint32_t kDelayMs = 100;
  Arm(QRVCTL_FAULT_PEND_REQUEST, 0, 1, GetParam().code, 0, kDelayMs);
  HostService& service = NewService();
  Start(service);
  for (uint32_t slot = 0; slot < 3; ++slot) {
    const std::vector<uint8_t> payload = Bytes(16, static_cast<uint8_t>(slot + 1));
    MessageOutcome outcome = AwaitOutcome(Post(kService, 1, payload, slot));
    EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED)) << Where(slot);
    EXPECT_EQ(outcome.reply, payload) << Where(slot);
  }
  EXPECT_TRUE(WaitUntil([&] { return Counters().pings >= 2; })) << "the heartbeat stopped";

  const auto issued = RequestsOf(GetParam().code);
  ASSERT_FALSE(issued.empty());
  EXPECT_EQ(issued[0].status, kStatusPending) << "the fault never fired";
  EXPECT_EQ(issued[0].flags, QRVCTL_LOG_FAULT);
  std::vector<uint32_t> completions;
  for (const auto& entry : DriverLog()) {
    if (entry.code == GetParam().code && entry.flags == QRVCTL_LOG_COMPLETION)
      completions.push_back(entry.status);
  }
  EXPECT_EQ(completions, std::vector<uint32_t>{kStatusSuccess});
  EXPECT_EQ(Texts(), (std::vector<std::string>{"quorvel-Initialize successfully.",
                                               "quorvel: allocate port[1] for service[4]",
                                               "quorvel-Register( 4 ): success."}));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, PendedRequest,
    ::testing::Values(PendedCase{"Ping", kEcho}, PendedCase{"Bind", kBindThread},
                      PendedCase{"PortRequest", kAllocatePort}, PendedCase{"Reply", kReply}),
    [](const ::testing::TestParamInfo<PendedCase>& info) { return std::string(info.param.name); });

// A worker's request or a closing request that the driver holds without
// end is cancelled (the worker's by the stop, Stop's own after its bound),
// so UnInit returns. One whose cancellation the driver ignores is abandoned:
// every entry point returns, and the late completion (UnInit closes the
// handle) leaves every heap sound. The watchdog ends a scenario that hangs.
class HeldRequest : public Service, public ::testing::WithParamInterface<PendedCase> {};

TEST_P(HeldRequest, IsCancelledAndUnInitReturns) {
  constexpr uint32_t kHeldMs = 600000;
  constexpr uint32_t kStatusCancelled = 0xC0000120u;
  const PendedCase& held = GetParam();
  Arm(QRVCTL_FAULT_PEND_REQUEST, 0, held.ignores ? QRVCTL_FAULT_FOREVER : 1, held.code, 0, kHeldMs);
  if (held.ignores) Arm(QRVCTL_FAULT_IGNORE_CANCEL, 0, QRVCTL_FAULT_FOREVER, 0);
  HostService& service = NewService();
  ASSERT_EQ(Init(), held.code == kCreateEchoPort ? QUORVEL_E_FAIL : QUORVEL_OK);
  ASSERT_EQ(Register(kService, service), held.code == kAllocatePort || held.code == kCreateEchoPort
                                             ? QUORVEL_E_FAIL
                                             : QUORVEL_OK);
  if (held.code == kReply) Post(kService, 1, Bytes(4, 1));
  if (held.code != kFreePort && held.code != kCloseEchoPort) {
    ASSERT_TRUE(WaitUntil([&] { return !RequestsOf(held.code).empty(); }))
        << "the request never came";
  }
  UnInit();
  std::vector<uint32_t> completions;
  ASSERT_TRUE(WaitUntil([&] {
    completions.clear();
    for (const auto& entry : DriverLog()) {
      if (entry.code == held.code && entry.flags == QRVCTL_LOG_COMPLETION)
        completions.push_back(entry.status);
    }
    return !completions.empty();
  })) << "the driver never completed the request";
  if (!held.ignores) {
    EXPECT_EQ(completions, std::vector<uint32_t>{kStatusCancelled});
    return;
  }
  EXPECT_FALSE(TextsStartingWith("quorvel: request abandoned, ").empty())
      << "nothing was abandoned";
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < count && i < 64; ++i)
    EXPECT_TRUE(HeapValidate(heaps[i], 0, nullptr)) << "a late completion wrote into freed memory";
}

INSTANTIATE_TEST_SUITE_P(Codes, HeldRequest,
                         ::testing::Values(PendedCase{"Bind", kBindThread},
                                           PendedCase{"Reply", kReply},
                                           PendedCase{"FreePort", kFreePort}),
                         [](const ::testing::TestParamInfo<PendedCase>& info) {
                           return std::string(info.param.name);
                         });
// With a port never freed, the receives are abandoned in FreePort too.
INSTANTIATE_TEST_SUITE_P(IgnoringCancel, HeldRequest,
                         ::testing::Values(PendedCase{"Ping", kEcho, true},
                                           PendedCase{"Bind", kBindThread, true},
                                           PendedCase{"Reply", kReply, true},
                                           PendedCase{"AllocatePort", kAllocatePort, true},
                                           PendedCase{"CreateEchoPort", kCreateEchoPort, true},
                                           PendedCase{"FreePort", kFreePort, true},
                                           PendedCase{"CloseEchoPort", kCloseEchoPort, true}),
                         [](const ::testing::TestParamInfo<PendedCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace wintest
}  // namespace qrv
