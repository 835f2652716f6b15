// The lifecycle sequences (tests/common) through the shipped QUORVEL.DLL
// against the reference driver: real critical sections, real overlapped
// completion, handle values reused at once, and the library's handle calls
// checked as strict handle checking would check them. Rows that hold the
// library's lock from outside run natively only.
#include <string>
#include <vector>

#include "host/host_fixture.h"
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
  }

  void Run(const Step& step) {
    switch (step.op) {
      case Op::kInit:
        EXPECT_EQ(Init(), step.expect);
        break;
      case Op::kUnInit:
        UnInit();
        break;
      case Op::kRegister:
        EXPECT_EQ(Register(step.id, NewService()), step.expect) << step.id;
        break;
      case Op::kUnregister:
        EXPECT_EQ(Unregister(step.id), step.expect) << step.id;
        break;
      default:
        RunFault(step);
    }
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
};

TEST_P(LifecycleSequence, ReachesItsEndState) {
  const Sequence& sequence = GetParam();
  if (sequence.NativeOnly()) GTEST_SKIP() << "holds the library's lock from outside";
  for (size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    Run(sequence.steps[i]);
  }
  std::vector<uint32_t> served;
  for (uint32_t id = 0; id < 15; ++id) {
    if (PortOf(id) != QRVCTL_NO_PORT) served.push_back(id);
  }
  EXPECT_EQ(served, sequence.end.servedIds);
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), sequence.end.uninitLines);
  EXPECT_EQ(InvalidHandleUses(), 0) << "a null handle reached a handle call";
}

INSTANTIATE_TEST_SUITE_P(Table, LifecycleSequence,
                         ::testing::ValuesIn(sequences::LifecycleSequences()),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace wintest
}  // namespace qrv
