// The lifecycle sequences (tests/common) against the simulated driver. After
// every step an event is created and kept, so that any handle value the step
// freed is taken at once (the stand-in reuses values as Windows does): a
// library thread that still used a closed device would then reach that
// event, which the stand-in counts as an invalid handle use.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "api/process_context.h"
#include "library_fixture.h"
#include "lifecycle_sequences.h"
#include "platform/module_thread.h"
#include "platform/posix/device.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

using qrv::sequences::EndState;
using qrv::sequences::Op;
using qrv::sequences::Sequence;
using qrv::sequences::Step;

// Cancels the library sends: none of these sequences gives it a reason to.
std::atomic<int> g_cancels{0};
void CountCancels(const char* function) {
  if (std::strncmp(function, "CancelIo", 8) == 0) g_cancels.fetch_add(1);
}

class LifecycleSequence : public LibraryTest, public ::testing::WithParamInterface<Sequence> {
 protected:
  void TearDown() override {
    qrv::posix::SetKernelCallObserver(nullptr);
    if (holding_) ProcessLock().Leave();
    LibraryTest::TearDown();
    for (HANDLE squatter : squatters_) CloseHandle(squatter);
  }

 public:
  // What RunStep drives.
  int32_t Call(Op entry, uint32_t id) {
    switch (entry) {
      case Op::kInit:
        return ::Init(0);
      case Op::kUnInit:
        ::UnInit();
        return QUORVEL_OK;
      case Op::kRegister:
        return ::Register(id, &Reentering, this);
      default:
        return ::Unregister(id);
    }
  }

  static void WINAPI Reentering(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                void* self, void** answer, uint32_t* answerLength) {
    AnswerWithPayload(allocator, message, length, nullptr, answer, answerLength);
    static_cast<LifecycleSequence*>(self)->MakeArmedCall();
  }

  // On a library thread: the armed step's call, once.
  void MakeArmedCall() {
    const Step* step = armed_.exchange(nullptr);
    if (step == nullptr) return;
    inCall_ = true;
    if (step->op == Op::kCallbackCallsInStop) {
      EXPECT_TRUE(Driver().WaitForRequests(wire::kFreePort, freePorts_ + 1, kWait));
    }
    result_ = Call(step->call, step->callId);
    called_ = true;
  }

  static uint32_t CurrentThread() { return GetCurrentThreadId(); }

  void Reenter(const Step& step) {
    if (step.op == Op::kSinkCallsInside) {
      EXPECT_EQ(sequences::RunSinkReentry(*this, Sink(), step), 0) << "a nested call ran";
      for (const std::string& line : sequences::RefusalsInsideAnEntryPoint(step.callId)) {
        ExpectText(line);
      }
      return;
    }
    inCall_ = called_ = false;
    freePorts_ = Driver().RequestCount(wire::kFreePort);
    armed_ = &step;
    if (step.op == Op::kCallbackCalls) {
      Serve(step.id);
    } else if (step.op == Op::kCallbackCallsInStop) {
      Driver().Post(step.id, 1, {1, 2, 3});
      ASSERT_TRUE(WaitUntil([this] { return inCall_.load(); })) << "no callback";
      EXPECT_EQ(::Unregister(step.id), QUORVEL_OK);
    } else {
      Sink().SetVPrintHook(
          [](void* self) { static_cast<LifecycleSequence*>(self)->MakeArmedCall(); }, this);
      Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
    }
    ExpectText(step.text);
    EXPECT_TRUE(WaitUntil([this] { return called_.load(); })) << "the call never returned";
    EXPECT_EQ(result_.load(), step.expect);
    Sink().SetVPrintHook(nullptr, nullptr);
  }

  void RunFault(const Step& step) {
    switch (step.op) {
      case Op::kFailPings:
        Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
        break;
      case Op::kHealPings:
        Driver().ClearFaults();
        break;
      case Op::kRefuseEchoPort:
        Driver().OverridePortAnswer(wire::kCreateEchoPort, 16u);
        break;
      case Op::kRefuseServicePort:
        Driver().OverridePortAnswer(wire::kAllocatePort, 16u);
        break;
      case Op::kAwaitText:
        ExpectText(step.text);
        break;
      case Op::kHoldLock:
        ProcessLock().Enter();
        holding_ = true;
        break;
      case Op::kReleaseLock:
        holding_ = false;
        ProcessLock().Leave();
        break;
      case Op::kServe:
        Serve(step.id);
        break;
      case Op::kAwaitReceives:
        EXPECT_TRUE(Driver().WaitForPendingReceives(step.id, 3, kWait)) << "service " << step.id;
        break;
      case Op::kKeepReceives:
        Driver().KeepReceivesOnFree(0xFFFFFFFFu);  // every later free
        break;
      default:
        AwaitHeartbeat();
    }
  }

 protected:
  void Serve(uint32_t id) {
    auto message = Driver().Post(id, 1, {1, 2, 3});
    ASSERT_TRUE(message->WaitFinal(kWait)) << "service " << id << " never answered";
    EXPECT_EQ(message->outcome(), qrv::sim::Outcome::kAnswered)
        << "service " << id << ": " << qrv::sim::OutcomeName(message->outcome());
  }

  void AwaitHeartbeat() {
    const size_t pings = Driver().RequestCount(wire::kEcho);
    EXPECT_TRUE(Driver().WaitForRequests(wire::kEcho, pings + 2, kWait)) << "no heartbeat runs";
  }

  void ExpectEndState(const EndState& end) {
    {
      LockGuard lock(ProcessLock());
      EXPECT_EQ(ProcessContext::Get().DeviceOpen(), end.deviceOpen);
    }
    std::vector<uint32_t> served;
    for (uint32_t id = 0; id < QUORVEL_MAX_SERVICES; ++id) {
      if (id != 15 && Driver().PortOf(id).has_value()) served.push_back(id);
    }
    EXPECT_EQ(served, end.servedIds);
    EXPECT_EQ(Sink().CountText("quorvel-UnInit: ok."), end.uninitLines);
    if (!end.deviceOpen) {
      EXPECT_EQ(RunningModuleThreads(), 0u) << "threads outlived UnInit";
      EXPECT_EQ(Sink().Counters().liveComponents, 0) << "the log channel stayed open";
    }
  }

  std::vector<HANDLE> squatters_;
  bool holding_ = false;
  std::atomic<const Step*> armed_{nullptr};
  std::atomic<bool> inCall_{false};
  std::atomic<bool> called_{false};
  std::atomic<int32_t> result_{0};
  size_t freePorts_ = 0;
};

TEST_P(LifecycleSequence, ReachesItsEndState) {
  const Sequence& sequence = GetParam();
  // A row awaits and counts only its own lines and meets no earlier fault.
  Sink().ClearRecords();
  Driver().ClearFaults();
  const size_t invalidBefore = qrv::posix::InvalidHandleUses();
  g_cancels = 0;
  qrv::posix::SetKernelCallObserver(&CountCancels);
  for (size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    sequences::RunStep(*this, sequence.steps[i]);
    squatters_.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  ExpectEndState(sequence.end);
  EXPECT_EQ(qrv::posix::InvalidHandleUses(), invalidBefore)
      << "a closed or stale handle was used (strict handle checks would raise)";
  if (sequence.MayCancel()) {
    EXPECT_GT(g_cancels.load(), 0) << "the receives the driver kept were never cancelled";
  } else {
    EXPECT_EQ(g_cancels.load(), 0) << "a request was cancelled that the driver would have ended";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LifecycleSequence,
                         ::testing::ValuesIn(qrv::sequences::LifecycleSequences()),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

}  // namespace qrv
