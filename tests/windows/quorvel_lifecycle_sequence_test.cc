// The lifecycle sequences of the native table, through the shipped
// QUORVEL.DLL against the reference driver: real critical sections, real
// overlapped completion, handle values reused at once, and the library's
// handle calls checked as strict handle checking would check them.
#include <string>
#include <vector>

#include "host/host_fixture.h"
#include "host/strict_handles.h"

namespace qrv {
namespace wintest {
namespace {

enum class Op {
  kInit,        // expect: its result
  kUnInit,      //
  kRegister,    // id; expect: its result
  kUnregister,  // id; expect: its result
  kFailPings,   // every later ping fails
  kHealPings,   // pings succeed again
  kRefusePort,  // the next port request gets port 16
  kAwaitText,   // text: logged (bounded wait)
  kServe,       // id: a message to the service is answered
  kAwaitHeartbeat
};

struct Step {
  Op op;
  uint32_t id = 0;
  int32_t expect = QUORVEL_OK;
  const char* text = nullptr;
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
  std::vector<uint32_t> servedIds;  // services with a port at the end
  int uninitLines;                  // "quorvel-UnInit: ok." lines
};

Step InitStep(int32_t expect) { return {Op::kInit, 0, expect}; }
Step RegisterStep(uint32_t id, int32_t expect) { return {Op::kRegister, id, expect}; }
Step UnregisterStep(uint32_t id, int32_t expect) { return {Op::kUnregister, id, expect}; }
Step Do(Op op, uint32_t id = 0) { return {op, id}; }
Step Await(const char* text) { return {Op::kAwaitText, 0, QUORVEL_OK, text}; }

const Sequence kSequences[] = {
    {"FailedInitKeepsTheDeviceForFiledServices",
     {InitStep(QUORVEL_OK), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
      RegisterStep(5, QUORVEL_OK), Do(Op::kRefusePort), InitStep(QUORVEL_E_FAIL), Do(Op::kServe, 5),
      Do(Op::kUnInit)},
     {},
     1},
    {"FailedInitKeepsAnOpenDeviceUntilUnInit",
     {InitStep(QUORVEL_OK), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
      Do(Op::kRefusePort), InitStep(QUORVEL_E_FAIL), RegisterStep(6, QUORVEL_OK), Do(Op::kServe, 6),
      InitStep(QUORVEL_OK), Do(Op::kAwaitHeartbeat)},
     {6},
     0},
    {"RepeatedStopsSkipClosedHandles",
     {InitStep(QUORVEL_OK), Do(Op::kRefusePort), RegisterStep(5, QUORVEL_E_FAIL),
      RegisterStep(5, QUORVEL_OK), Do(Op::kRefusePort), RegisterStep(6, QUORVEL_E_FAIL),
      UnregisterStep(6, QUORVEL_OK), Do(Op::kRefusePort), RegisterStep(7, QUORVEL_E_FAIL),
      Do(Op::kUnInit), Do(Op::kUnInit)},
     {},
     1},
    {"FailedEchoStartClosesWhatItOpened",
     {Do(Op::kRefusePort), InitStep(QUORVEL_E_FAIL), RegisterStep(1, QUORVEL_E_FAIL),
      Do(Op::kUnInit), InitStep(QUORVEL_OK), Do(Op::kAwaitHeartbeat), Do(Op::kUnInit)},
     {},
     1},
};

void PrintTo(const Sequence& sequence, std::ostream* out) { *out << sequence.name; }

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
      case Op::kRefusePort:
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
      default: {
        const size_t pings = RequestsOf(kEcho).size();
        EXPECT_TRUE(WaitUntil([&] { return RequestsOf(kEcho).size() >= pings + 2; }))
            << "no heartbeat runs";
      }
    }
  }
};

TEST_P(LifecycleSequence, ReachesItsEndState) {
  const Sequence& sequence = GetParam();
  for (size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    Run(sequence.steps[i]);
  }
  std::vector<uint32_t> served;
  for (uint32_t id = 0; id < 15; ++id) {
    if (PortOf(id) != QRVCTL_NO_PORT) served.push_back(id);
  }
  EXPECT_EQ(served, sequence.servedIds);
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), sequence.uninitLines);
  EXPECT_EQ(InvalidHandleUses(), 0) << "a null handle reached a handle call";
}

INSTANTIATE_TEST_SUITE_P(Table, LifecycleSequence, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace wintest
}  // namespace qrv
