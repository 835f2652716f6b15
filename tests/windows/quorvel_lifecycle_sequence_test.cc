// The lifecycle sequences (tests/common) through the shipped QUORVEL.DLL
// against the reference driver: real critical sections, real overlapped
// completion, handle values reused at once, and the library's handle calls
// checked as strict handle checking would check them. Rows that hold the
// library's lock from outside run natively only.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "host/host_fixture.h"
#include "host/kernel_call_counter.h"
#include "host/strict_handles.h"
#include "lifecycle_sequences.h"

namespace qrv {
namespace wintest {
namespace {

using sequences::Op;
using sequences::Sequence;
using sequences::Step;

class LifecycleSequence : public HostTest, public ::testing::WithParamInterface<Sequence> {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string reason;
    ASSERT_TRUE(UseStrictHandleChecks(GetModuleHandleA(kLibraryName), &reason)) << reason;
    ASSERT_TRUE(CountKernelCalls(GetModuleHandleA(kLibraryName), &reason)) << reason;
  }

 public:
  // What RunStep drives.
  int32_t Call(Op entry, uint32_t id) {
    switch (entry) {
      case Op::kInit:
        return Init();
      case Op::kUnInit:
        UnInit();
        return sequences::kOk;
      case Op::kRegister: {
        HostService& service = NewService();
        service.SetBehaviour([this](ServiceCall& call) {
          call.EchoBack();
          MakeArmedCall();
        });
        return Register(id, service);
      }
      default:
        return Unregister(id);
    }
  }

  // On a library thread: the armed step's call, once; records its result.
  void MakeArmedCall() {
    const Step* step = armed_.exchange(nullptr);
    if (step == nullptr) return;
    inCall_ = true;
    if (step->op == Op::kCallbackCallsInStop) {
      WaitUntil([this] { return RequestsOf(kFreePort).size() > freePorts_; });
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
    freePorts_ = RequestsOf(kFreePort).size();
    armed_ = &step;
    if (step.op == Op::kCallbackCalls) {
      RunFault(sequences::Do(Op::kServe, step.id));
    } else if (step.op == Op::kCallbackCallsInStop) {
      Post(step.id, 1, Bytes(8, 1));
      ASSERT_TRUE(WaitUntil([this] { return inCall_.load(); })) << "no callback";
      EXPECT_EQ(Unregister(step.id), sequences::kOk);
    } else {
      Sink().SetVPrintHook(
          [](void* self) { static_cast<LifecycleSequence*>(self)->MakeArmedCall(); }, this);
      RunFault(sequences::Do(Op::kFailPings));
    }
    ExpectText(step.text);
    EXPECT_TRUE(WaitUntil([this] { return called_.load(); })) << "the call never returned";
    EXPECT_EQ(result_.load(), step.expect);
    Sink().SetVPrintHook(nullptr, nullptr);
  }

  void RunFault(const Step& step) {
    switch (step.op) {
      case Op::kFailPings:
        Arm(QRVCTL_FAULT_PING_STATUS, 0, QRVCTL_FAULT_FOREVER, kStatusInvalidDeviceState);
        break;
      case Op::kHealPings:
        Arm(QRVCTL_FAULT_PING_STATUS, 0, 0, 0);
        break;
      case Op::kRefuseEchoPort:
      case Op::kRefuseServicePort:
        Arm(QRVCTL_FAULT_PORT_ANSWER, 0, 1, 16);
        break;
      case Op::kAwaitText:
        ExpectText(step.text);
        break;
      case Op::kServe:
        EXPECT_EQ(AwaitOutcome(Post(step.id, 1, Bytes(8, 1))).record.state,
                  static_cast<uint32_t>(QRVCTL_MSG_ANSWERED))
            << "service " << step.id;
        break;
      case Op::kAwaitReceives:
        EXPECT_TRUE(WaitForPendingReceives(step.id, 3)) << "service " << step.id;
        break;
      case Op::kKeepReceives:
        Arm(QRVCTL_FAULT_FREE_KEEPS_RECEIVES, 0, QRVCTL_FAULT_FOREVER, 0);
        break;
      case Op::kHoldLock:
      case Op::kReleaseLock:
        ADD_FAILURE() << "a host cannot hold the library's lock";
        break;
      default: {  // Op::kAwaitHeartbeat
        const size_t pings = RequestsOf(kEcho).size();
        EXPECT_TRUE(WaitUntil([&] { return RequestsOf(kEcho).size() >= pings + 2; }))
            << "no heartbeat runs";
      }
    }
  }

 private:
  std::atomic<const Step*> armed_{nullptr};
  std::atomic<bool> inCall_{false};
  std::atomic<bool> called_{false};
  std::atomic<int32_t> result_{0};
  size_t freePorts_ = 0;
};

TEST_P(LifecycleSequence, ReachesItsEndState) {
  const Sequence& sequence = GetParam();
  if (sequence.NativeOnly()) GTEST_SKIP() << "holds the library's lock from outside";
  for (size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    sequences::RunStep(*this, sequence.steps[i]);
  }
  std::vector<uint32_t> served;
  for (uint32_t id = 0; id < 15; ++id) {
    if (PortOf(id) != QRVCTL_NO_PORT) served.push_back(id);
  }
  EXPECT_EQ(served, sequence.end.servedIds);
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), sequence.end.uninitLines);
  EXPECT_EQ(InvalidHandleUses(), 0) << "a null handle reached a handle call";
  const auto calls = KernelCalls();
  const auto cancels = std::count_if(calls.begin(), calls.end(),
                                     [](const auto& call) { return call.second == "CancelIoEx"; });
  if (sequence.MayCancel()) {
    EXPECT_GT(cancels, 0) << "the receives the driver kept were never cancelled";
  } else {
    EXPECT_EQ(cancels, 0) << "a request was cancelled that the driver would have ended";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LifecycleSequence,
                         ::testing::ValuesIn(sequences::LifecycleSequences()),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace wintest
}  // namespace qrv
