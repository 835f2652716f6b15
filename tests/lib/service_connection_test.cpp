// A service connection's workers against the simulated driver: messages,
// replies, oversized messages and the faults a driver or callback can cause.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "service_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;
using qrv::sim::Outcome;

namespace {

// Echoes the payload back from an allocator block.
void EchoBack(const CallbackCall& call) {
  void* block = call.allocator->Allocate(call.length);
  std::memcpy(block, call.message, call.length);
  *call.answer = block;
  *call.answerLength = call.length;
}

// Blocks callbacks until opened; counts the ones waiting.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mu_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [this] { return open_; });
  }
  bool WaitForWaiting(int count) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] { return waiting_ >= count; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int waiting_ = 0;
  bool open_ = false;
};

}  // namespace

TEST_F(ServiceTest, HeaderDecidesWhetherTheAnswerTravels) {
  behaviour_.onMessage = EchoBack;
  StartService();
  auto wanted = Exchange(7, Bytes(100, 1));
  EXPECT_EQ(wanted->outcome(), Outcome::kAnswered);
  EXPECT_EQ(wanted->reply(), Bytes(100, 1));
  auto unwanted = Exchange(0, Bytes(10, 2));
  EXPECT_EQ(unwanted->outcome(), Outcome::kNotWanted);
  EXPECT_EQ(RequestsOf(wire::kReply).size(), 1u);
}

TEST_F(ServiceTest, UntouchedAnswerIsSentAsAnEmptyReply) {
  StartService();
  auto message = Exchange(1, Bytes(4, 3));
  EXPECT_EQ(message->outcome(), Outcome::kAnswered);
  EXPECT_TRUE(message->reply().empty());
  const auto replies = RequestsOf(wire::kReply);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].outputNull);
  EXPECT_EQ(replies[0].outputLength, 0u);
  EXPECT_EQ(replies[0].input.size(), 8u);
  EXPECT_EQ(*replies[0].threadIndex, message->threadIndex());
}

TEST_F(ServiceTest, AnswerIsResetBeforeEveryCallback) {
  std::atomic<int> dirty{0};
  static char answer[] = "answer";
  behaviour_.onMessage = [&](const CallbackCall& call) {
    if (*call.answer != nullptr || *call.answerLength != 0) dirty++;
    *call.answer = answer;
    *call.answerLength = sizeof(answer);
  };
  StartService();
  for (int i = 0; i < 9; ++i) EXPECT_EQ(Exchange(1, Bytes(8, i))->outcome(), Outcome::kAnswered);
  EXPECT_EQ(dirty, 0);
}

TEST_F(ServiceTest, OversizedMessageThroughThePendingPath) {
  std::vector<uint8_t> seen;
  behaviour_.onMessage = [&](const CallbackCall& call) {
    seen.assign(call.message, call.message + call.length);
    EchoBack(call);
  };
  StartService();
  testing::internal::CaptureStdout();
  auto message = Exchange(9, Bytes(2000, 5));
  auto small = Exchange(9, Bytes(10, 6));
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_EQ(seen, Bytes(10, 6));
  EXPECT_EQ(message->reply(), Bytes(2000, 5));
  EXPECT_EQ(output.find("DeviceIoControl"), std::string::npos) << output;

  // Every worker back at a pending receive: the large message's worker has
  // issued its next one.
  ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait));
  const uint32_t slot = message->threadIndex();
  std::vector<std::pair<uint8_t, DWORD>> receives;  // LargeBuffer, output length
  for (const auto& record : RequestsOf(wire::kReceive)) {
    if (*record.threadIndex == slot)
      receives.emplace_back(*record.largeBuffer, record.outputLength);
  }
  ASSERT_GE(receives.size(), 3u);
  EXPECT_EQ(receives[0], (std::pair<uint8_t, DWORD>{0, 1024}));
  EXPECT_EQ(receives[1], (std::pair<uint8_t, DWORD>{1, 2004}));
  EXPECT_EQ(receives[2], (std::pair<uint8_t, DWORD>{0, 1024}));
}

TEST_F(ServiceTest, OversizedMessageThroughTheImmediatePath) {
  Gate gate;
  behaviour_.onMessage = [&](const CallbackCall& call) {
    if (call.length == 1) gate.Pass();
    EchoBack(call);
  };
  StartService();
  // Hold one worker in its callback, queue the large message for its slot,
  // then let it come back for it: its receive finds the message at once.
  auto first = Driver().Post(kService, 1, {42});
  ASSERT_TRUE(gate.WaitForWaiting(1));
  auto large = Driver().Post(kService, 1, Bytes(3000, 9), first->threadIndex());
  testing::internal::CaptureStdout();
  gate.Open();
  ASSERT_TRUE(large->WaitFinal(kWait));
  const std::string output = testing::internal::GetCapturedStdout();
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "DeviceIoControl : 122.\n";
  EXPECT_EQ(output, expected);
  EXPECT_EQ(large->reply(), Bytes(3000, 9));
}

TEST_F(ServiceTest, RawErrorOneHundredElevenIsTooSmallAsWell) {
  behaviour_.onMessage = EchoBack;
  Driver().SetTooSmallStatus(qrv::posix::StatusFromWin32Error(ERROR_BUFFER_OVERFLOW));
  StartService();
  EXPECT_EQ(Exchange(1, Bytes(1500, 2))->reply(), Bytes(1500, 2));
}

TEST_F(ServiceTest, HeapCallsPerMessage) {
  StartService();
  const int before = heap_.allocations;
  Exchange(1, Bytes(1020, 1));  // fits: 1020 + 4 bytes
  EXPECT_EQ(heap_.allocations - before, 0);
  Exchange(1, Bytes(1021, 1));  // one byte too many: exactly one block
  EXPECT_EQ(heap_.allocations - before, 1);
}

TEST_F(ServiceTest, AnswerFromOneOfSeveralBlocksAndAllAreReleased) {
  std::vector<int> liveAtEntry;
  behaviour_.onMessage = [&](const CallbackCall& call) {
    liveAtEntry.push_back(heap_.live);
    call.allocator->Allocate(64);
    auto* chosen = static_cast<uint8_t*>(call.allocator->Allocate(16));
    call.allocator->Allocate(0);
    std::memset(chosen, 0xAB, 16);
    *call.answer = chosen + 4;
    *call.answerLength = 8;
  };
  StartService();
  // Both to one worker, so the second callback sees what the first left.
  auto large = Driver().Post(kService, 1, Bytes(2500, 1), 0u);
  ASSERT_TRUE(large->WaitFinal(kWait));
  EXPECT_EQ(large->reply(), std::vector<uint8_t>(8, 0xAB));
  ASSERT_TRUE(Driver().Post(kService, 1, Bytes(3, 1), 0u)->WaitFinal(kWait));
  // Three 1024-byte buffers, plus the oversized block for the first message;
  // nothing of the first message is left when the second begins.
  EXPECT_EQ(liveAtEntry, (std::vector<int>{4, 3}));
}

TEST_F(ServiceTest, ThrowingCallbackEndsOnlyItsWorker) {
  behaviour_.onMessage = [](const CallbackCall& call) {
    call.allocator->Allocate(32);
    if (call.length == 1) throw std::runtime_error("host failure");
    EchoBack(call);
  };
  StartService();
  auto thrown = Driver().Post(kService, 1, {0}, 0u);
  const std::vector<std::string> ending = {
      "quorvel: callback exception. service[4] port[0] thread[0] code[0xe06d7363]",
      "quorvel: service[4] port[0] thread[0] quit."};
  ExpectText(ending[1]);
  const auto texts = Texts();
  EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()), ending);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Exchange(1, Bytes(20, i))->outcome(), Outcome::kAnswered);
  EXPECT_EQ(thrown->outcome(), Outcome::kDelivered);
  EXPECT_EQ(TextsStartingWith("quorvel: service["), std::vector<std::string>{ending[1]});
  EXPECT_TRUE(TextsStartingWith("quorvel: connection").empty());
  StopService();
  EXPECT_EQ(thrown->outcome(), Outcome::kFailedBack);
}

TEST_F(ServiceTest, FailedReplyEndsOnlyItsWorker) {
  behaviour_.onMessage = EchoBack;
  StartService();
  Driver().FailReplies(1);
  auto failed = Exchange(1, Bytes(5, 1));
  EXPECT_EQ(failed->outcome(), Outcome::kFailedBack);
  const std::string slot = std::to_string(failed->threadIndex());
  ExpectText("quorvel: reply failed. service[4] port[0] thread[" + slot + "]");
  ExpectText("quorvel: service[4] port[0] thread[" + slot + "] quit.");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Exchange(1, Bytes(5, i))->outcome(), Outcome::kAnswered);
}

TEST_F(ServiceTest, StopWaitsForRunningCallbacksAndLosesNothing) {
  Gate gate;
  behaviour_.onMessage = [&](const CallbackCall& call) {
    gate.Pass();
    EchoBack(call);
  };
  StartService();
  std::vector<std::shared_ptr<qrv::sim::Message>> messages;
  for (int i = 0; i < 3; ++i) messages.push_back(Driver().Post(kService, 1, Bytes(10, i)));
  ASSERT_TRUE(gate.WaitForWaiting(3));
  std::thread opener([&] {
    ASSERT_TRUE(Driver().WaitForRequests(wire::kFreePort, 1, kWait));
    gate.Open();
  });
  StopService();
  opener.join();
  for (const auto& message : messages) {
    // Each was answered before its worker saw the stop, or failed back: the
    // driver never counts a message answered that was not.
    const Outcome outcome = message->outcome();
    EXPECT_TRUE(outcome == Outcome::kAnswered || outcome == Outcome::kFailedBack);
    if (outcome == Outcome::kAnswered) {
      EXPECT_EQ(message->reply(), message->payload());
    }
  }
  const auto counters = Driver().counters();
  EXPECT_EQ(counters.posted, counters.answered + counters.notWanted + counters.failedBack);
}

// A callback that does not return holds the stop: after 5 s the stop names
// the service, port and thread it still waits for, once, and waits on.
TEST_F(ServiceTest, StopHeldByACallbackSaysWhatItWaitsForOnceAndWaitsOn) {
  Gate gate;
  std::atomic<DWORD> heldThread{0};
  behaviour_.onMessage = [&](const CallbackCall& call) {
    heldThread = GetCurrentThreadId();
    gate.Pass();
    EchoBack(call);
  };
  StartService();
  auto message = Driver().Post(kService, 1, Bytes(10, 3));
  ASSERT_TRUE(gate.WaitForWaiting(1));
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    connection_->Stop();
    stopped = true;
  });
  ExpectText("quorvel: still waiting for service[4] port[0] thread id[" +
             std::to_string(heldThread.load()) + "] after 5 s.");
  const bool stoppedBeforeRelease = stopped;
  gate.Open();
  stopper.join();
  EXPECT_FALSE(stoppedBeforeRelease) << "the stop returned while a callback still ran";
  EXPECT_EQ(TextsStartingWith("quorvel: still waiting").size(), 1u);
  ASSERT_TRUE(message->WaitFinal(kWait));
  EXPECT_TRUE(message->outcome() == Outcome::kAnswered ||
              message->outcome() == Outcome::kFailedBack);
}

// A receive that reaches the driver just after Stop freed the port fails at
// once; the worker sees the stop event and leaves without a line on stdout
// and without pausing between further attempts.
TEST_F(ServiceTest, ReceiveAfterTheFreedPortEndsTheWorkerQuietly) {
  StartService();
  std::atomic<bool> armed{true};
  std::atomic<bool> held{false};
  const uint64_t freed = Driver().counters().portsFreed;
  // Holds the next receive until the port has been freed.
  Driver().SetRequestHook([&](DWORD code, const std::vector<uint8_t>&) {
    if (code != wire::kReceive || !armed.exchange(false)) return;
    held = true;
    Driver().WaitUntil([&](const qrv::sim::Counters& c) { return c.portsFreed > freed; }, kWait);
  });
  // A worker serves this message and comes back with a receive.
  Driver().Post(kService, 0, {1});
  ASSERT_TRUE(WaitUntil([&] { return held.load(); })) << "no receive after the message";
  testing::internal::CaptureStdout();
  StopService();
  const std::string output = testing::internal::GetCapturedStdout();
  Driver().SetRequestHook(nullptr);
  EXPECT_EQ(output, "");
  EXPECT_EQ(TextsStartingWith("quorvel: connection disconnected.").size(), 3u);
}

TEST_F(ServiceTest, StopOfANeverStartedConnectionSendsAndLogsNothing) {
  ASSERT_EQ(connection_->Create(kService, 3, device_, &ForwardToBehaviour, &behaviour_), 1);
  EXPECT_EQ(connection_->Stop(), WAIT_OBJECT_0);
  connection_->Close();
  EXPECT_EQ(connection_->Stop(), WAIT_OBJECT_0);  // no handle left, none waited on
  connection_->Close();
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(RequestsOf(wire::kFreePort).size(), 0u);
  EXPECT_EQ(RequestsOf(wire::kBindThread).size(), 0u);
}

TEST_F(ServiceTest, StopAndCloseRepeatAfterAStartedConnection) {
  StartService();
  StopService();
  Sink().ClearRecords();
  Driver().ClearRequestLog();
  EXPECT_EQ(connection_->Stop(), WAIT_OBJECT_0);
  connection_->Close();
  EXPECT_TRUE(Texts().empty());
  EXPECT_TRUE(Driver().requests().empty());
}

TEST_F(ServiceTest, CreateChecksItsArguments) {
  EXPECT_EQ(connection_->Create(kService, 17, device_, &ForwardToBehaviour, nullptr), 0);
  EXPECT_EQ(connection_->Create(kService, 3, INVALID_HANDLE_VALUE, &ForwardToBehaviour, nullptr),
            0);
  EXPECT_EQ(connection_->Create(kService, 3, device_, nullptr, nullptr), 0);
  connection_->Close();
  EXPECT_TRUE(Texts().empty());
  CNUcCommuniateConnection empty(heap_);
  EXPECT_EQ(empty.Create(kService, 0, device_, &ForwardToBehaviour, nullptr), 1);
  EXPECT_EQ(empty.Stop(), WAIT_OBJECT_0);  // no worker: nothing to wait for
  empty.Close();
}

TEST_F(ServiceTest, CreateFailuresAreLoggedAndStartedWorkersAwaited) {
  qrv::posix::FailEventCreation(0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(connection_->Create(kService, 3, device_, &ForwardToBehaviour, nullptr), 0);
  connection_->Close();
  qrv::posix::FailEventCreation(1, ERROR_NOT_ENOUGH_MEMORY);
  CNUcCommuniateConnection second(heap_);
  EXPECT_EQ(second.Create(kService, 3, device_, &ForwardToBehaviour, nullptr), 0);
  second.Close();
  qrv::posix::FailThreadCreation(2, ERROR_NOT_ENOUGH_MEMORY);
  CNUcCommuniateConnection third(heap_);
  EXPECT_EQ(third.Create(kService, 3, device_, &ForwardToBehaviour, nullptr), 0);
  third.Close();
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "quorvel: fail to create event_0 for service[4], error code[0x8]",
                         "quorvel: fail to create event_1 for service[4], error code[0x8]",
                         "quorvel: fail to create threads for service[4], error code[0x8]"}));
  EXPECT_EQ(RequestsOf(wire::kBindThread).size(), 0u);
}

TEST_F(ServiceTest, RefusedBindEndsTheWorkersSilently) {
  Driver().OverrideBindAnswer(3u, 3);  // equal to the thread count
  ASSERT_EQ(connection_->Create(kService, 3, device_, &ForwardToBehaviour, &behaviour_), 1);
  ASSERT_EQ(connection_->Start(), 1);
  ASSERT_TRUE(Driver().WaitForRequests(wire::kBindThread, 3, kWait));
  StopService();
  EXPECT_EQ(RequestsOf(wire::kReceive).size(), 0u);
  EXPECT_TRUE(TextsStartingWith("quorvel: service[").empty());
}

TEST_F(ServiceTest, PortRefusedByTheDriverFailsStart) {
  Driver().OverridePortAnswer(wire::kAllocatePort, 16u);
  ASSERT_EQ(connection_->Create(kService, 3, device_, &ForwardToBehaviour, &behaviour_), 1);
  EXPECT_EQ(connection_->Start(), 0);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel: allocate port for service[4] failed."});
}

}  // namespace qrv
