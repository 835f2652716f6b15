// Sequences of entry-point calls and driver faults, each with the results,
// log lines and end state it must reach. After every step an event is
// created and kept, so that any handle value the step freed is taken at once
// (the stand-in reuses values as Windows does): a library thread that still
// used a closed device would then reach that event, which the stand-in counts
// as an invalid handle use.
#include <string>
#include <vector>

#include "api/process_context.h"
#include "library_fixture.h"
#include "platform/module_thread.h"
#include "platform/posix/device.h"

namespace wire = qrv::sim::wire;

namespace {

enum class Op {
  kInit,           // expect: its result
  kUnInit,         //
  kRegister,       // id; expect: its result
  kUnregister,     // id; expect: its result
  kFailPings,      // every later ping fails
  kHealPings,      // pings succeed again
  kRefusePort,     // id: the next port request for code `id` gets port 16
  kAwaitText,      // text: logged (bounded wait)
  kHoldLock,       // the test thread takes the process-wide lock
  kReleaseLock,    //
  kServe,          // id: a message to the service is answered
  kAwaitHeartbeat  // two more pings arrive (bounded wait)
};

struct Step {
  Op op;
  uint32_t id = 0;
  HRESULT expect = S_OK;
  const char* text = nullptr;
};

struct EndState {
  bool deviceOpen;
  std::vector<uint32_t> servedIds;  // services with an open port
  int uninitLines;                  // "quorvel-UnInit: ok." lines
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
  EndState end;
};

Step Init(HRESULT expect) { return {Op::kInit, 0, expect}; }
Step Register(uint32_t id, HRESULT expect) { return {Op::kRegister, id, expect}; }
Step Unregister(uint32_t id, HRESULT expect) { return {Op::kUnregister, id, expect}; }
Step Do(Op op, uint32_t id = 0) { return {op, id}; }
Step Await(const char* text) { return {Op::kAwaitText, 0, S_OK, text}; }

const Sequence kSequences[] = {
    {"PlainSessionServesAndEnds",
     {Init(S_OK), Register(3, S_OK), Do(Op::kServe, 3), Unregister(3, S_OK), Register(3, S_OK),
      Do(Op::kUnInit)},
     {false, {}, 1}},
    // A failed Init that finds services filed keeps the device and the
    // channel: service 5 goes on serving, and UnInit still stops it.
    {"FailedInitKeepsTheDeviceForFiledServices",
     {Init(S_OK), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
      Register(5, S_OK), Do(Op::kRefusePort, wire::kCreateEchoPort), Init(E_FAIL),
      Await("quorvel-Init: start echo failed."), Do(Op::kServe, 5), Do(Op::kUnInit)},
     {false, {}, 1}},
    {"FailedInitKeepsAnOpenDeviceUntilUnInit",
     {Init(S_OK), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
      Do(Op::kRefusePort, wire::kCreateEchoPort), Init(E_FAIL), Register(6, S_OK),
      Do(Op::kServe, 6), Init(S_OK), Do(Op::kAwaitHeartbeat)},
     {true, {6}, 0}},
    // The echo thread has lost the heartbeat and waits for the lock held by a
    // host thread; that thread's Init does the teardown and starts a new
    // heartbeat, so its 0 means a heartbeat runs.
    {"InitDuringAHeartbeatLossStartsANewHeartbeat",
     {Init(S_OK), Register(1, S_OK), Do(Op::kHoldLock), Do(Op::kFailPings),
      Await("quorvel: echo error."), Do(Op::kHealPings), Init(S_OK), Do(Op::kReleaseLock),
      Do(Op::kAwaitHeartbeat), Unregister(1, E_FAIL), Register(1, S_OK), Do(Op::kServe, 1)},
     {true, {1}, 0}},
    // A Register in the same window runs after the pending teardown, so the
    // service it reports is not stopped by the loss that came before it.
    {"RegisterDuringAHeartbeatLossKeepsServing",
     {Init(S_OK), Register(1, S_OK), Do(Op::kHoldLock), Do(Op::kFailPings),
      Await("quorvel: echo error."), Register(2, S_OK), Do(Op::kReleaseLock),
      Await("quorvel: echo quit."), Do(Op::kServe, 2), Unregister(1, E_FAIL), Do(Op::kUnInit)},
     {false, {}, 1}},
    // Stop and Close after a refused port, then again on the replace,
    // Unregister and UnInit paths: no closed handle is ever waited on.
    {"RepeatedStopsSkipClosedHandles",
     {Init(S_OK), Do(Op::kRefusePort, wire::kAllocatePort), Register(5, E_FAIL), Register(5, S_OK),
      Do(Op::kRefusePort, wire::kAllocatePort), Register(6, E_FAIL), Unregister(6, S_OK),
      Do(Op::kRefusePort, wire::kAllocatePort), Register(7, E_FAIL), Do(Op::kUnInit),
      Do(Op::kUnInit)},
     {false, {}, 1}},
    {"FailedEchoStartClosesWhatItOpened",
     {Do(Op::kRefusePort, wire::kCreateEchoPort), Init(E_FAIL), Register(1, E_FAIL),
      Do(Op::kUnInit), Init(S_OK), Do(Op::kAwaitHeartbeat), Do(Op::kUnInit)},
     {false, {}, 1}},
};

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Sequence& sequence, std::ostream* out) { *out << sequence.name; }

class LifecycleSequence : public LibraryTest, public ::testing::WithParamInterface<Sequence> {
 protected:
  void TearDown() override {
    if (holding_) ProcessLock().Leave();
    LibraryTest::TearDown();
    for (HANDLE squatter : squatters_) CloseHandle(squatter);
  }

  void Run(const Step& step) {
    switch (step.op) {
      case Op::kInit:
        EXPECT_EQ(::Init(0), step.expect);
        break;
      case Op::kUnInit:
        ::UnInit();
        break;
      case Op::kRegister:
        EXPECT_EQ(::Register(step.id, &AnswerWithPayload, nullptr), step.expect) << step.id;
        break;
      case Op::kUnregister:
        EXPECT_EQ(::Unregister(step.id), step.expect) << step.id;
        break;
      default:
        RunFault(step);
    }
  }

  void RunFault(const Step& step) {
    switch (step.op) {
      case Op::kFailPings:
        Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
        break;
      case Op::kHealPings:
        Driver().ClearFaults();
        break;
      case Op::kRefusePort:
        Driver().OverridePortAnswer(step.id, 16u);
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
      default:
        AwaitHeartbeat();
    }
  }

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
};

TEST_P(LifecycleSequence, ReachesItsEndState) {
  const Sequence& sequence = GetParam();
  const size_t invalidBefore = qrv::posix::InvalidHandleUses();
  for (size_t i = 0; i < sequence.steps.size(); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    Run(sequence.steps[i]);
    squatters_.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  ExpectEndState(sequence.end);
  EXPECT_EQ(qrv::posix::InvalidHandleUses(), invalidBefore)
      << "a closed or stale handle was used (strict handle checks would raise)";
}

INSTANTIATE_TEST_SUITE_P(Table, LifecycleSequence, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<Sequence>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
