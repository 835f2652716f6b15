// The lifecycle sequences both suites run: natively against the simulated
// driver (tests/lib) and under Wine against the reference driver through the
// shipped QUORVEL.DLL (tests/windows). Each row is a sequence of entry-point
// calls and driver faults with the results, log lines and end state it must
// reach; each runner maps the operations onto its own driver and checks
// after every row that no closed or stale handle reached a handle call.
#ifndef QRV_TESTS_COMMON_LIFECYCLE_SEQUENCES_H_
#define QRV_TESTS_COMMON_LIFECYCLE_SEQUENCES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"

namespace qrv {
namespace sequences {

// The entry points come first, the re-entry steps last.
enum class Op {
  kInit,               // expect: its result
  kUnInit,             //
  kRegister,           // id; expect: its result
  kUnregister,         // id; expect: its result
  kFailPings,          // every later ping fails
  kHealPings,          // pings succeed again
  kRefuseEchoPort,     // the next echo port request is answered with port 16
  kRefuseServicePort,  // the next service port request is answered with port 16
  kAwaitText,          // text: logged (bounded wait)
  kHoldLock,           // the test thread takes the library's lock (native only)
  kReleaseLock,        //
  kServe,              // id: a message to the service is answered
  kAwaitHeartbeat,     // two more pings arrive (bounded wait)
  kKeepReceives,       // every later free leaves its receives pending until cancelled
  kAwaitReceives,      // id: all three workers have a receive pending (bounded wait)
  // Re-entry: `call` with `callId` is made on a library thread, returns
  // `expect` and logs `text` (bounded waits).
  kCallbackCalls,        // id: in the callback of a message, which is answered
  kCallbackCallsInStop,  // id: in a callback that Unregister(id) waits for
  kHeartbeatCalls,       // as the heartbeat's thread logs its lost ping
  // `call` with `id` returns `expect` on the host thread while the sink, at
  // each line that thread logs, calls every entry point with `callId`.
  kSinkCallsInside
};

struct Step {
  Op op;
  uint32_t id;
  int32_t expect;
  const char* text;
  Op call = Op::kInit;
  uint32_t callId = 0;
};

struct EndState {
  bool deviceOpen;
  std::vector<uint32_t> servedIds;  // services that hold a port
  int uninitLines;                  // "quorvel-UnInit: ok." lines
};

struct Sequence {
  const char* name;
  std::vector<Step> steps;
  EndState end;
  // Whether the library may cancel a request: only where the driver keeps
  // one that it would otherwise end.
  bool MayCancel() const {
    for (const Step& step : steps) {
      if (step.op == Op::kKeepReceives) return true;
    }
    return false;
  }
  // Holds the library's lock from outside, which only a test linked with the
  // library's own objects can do.
  bool NativeOnly() const {
    for (const Step& step : steps) {
      if (step.op == Op::kHoldLock) return true;
    }
    return false;
  }
};

inline void PrintTo(const Sequence& sequence, std::ostream* out) { *out << sequence.name; }

inline Step Init(int32_t expect) { return {Op::kInit, 0, expect, nullptr}; }
inline Step Register(uint32_t id, int32_t expect) { return {Op::kRegister, id, expect, nullptr}; }
inline Step Unregister(uint32_t id, int32_t expect) {
  return {Op::kUnregister, id, expect, nullptr};
}
inline Step Do(Op op, uint32_t id = 0) { return {op, id, QUORVEL_OK, nullptr}; }
inline Step Await(const char* text) { return {Op::kAwaitText, 0, QUORVEL_OK, text}; }

constexpr int32_t kOk = QUORVEL_OK;
constexpr int32_t kFail = QUORVEL_E_FAIL;

// Runs one step on a runner that offers Call(entry, id), returning the entry
// point's result, Reenter(step) and RunFault(step).
template <typename Runner>
void RunStep(Runner& runner, const Step& step) {
  if (step.op <= Op::kUnregister) {
    EXPECT_EQ(runner.Call(step.op, step.id), step.expect) << step.id;
  } else if (step.op >= Op::kCallbackCalls) {
    runner.Reenter(step);
  } else {
    runner.RunFault(step);
  }
}

inline Step Reenter(Op where, uint32_t id, Op call, uint32_t callId, const char* line) {
  return {where, id, call == Op::kUnInit ? kOk : kFail, line, call, callId};
}

inline Step SinkReenters(Op outer, uint32_t id, uint32_t callId) {
  return {Op::kSinkCallsInside, id, kOk, nullptr, outer, callId};
}

// The lines of the four entry points refused inside another.
inline std::vector<std::string> RefusalsInsideAnEntryPoint(uint32_t id) {
  const std::string service = "( " + std::to_string(id) + " ): ";
  return {"quorvel-Init: refused inside an entry point.",
          "quorvel-UnInit: ignored inside an entry point.",
          "quorvel-Register" + service + "refused inside an entry point.",
          "quorvel-Unregister" + service + "refused inside an entry point."};
}

// Runs a kSinkCallsInside step on a runner that offers Call and
// CurrentThread, with its log sink; returns how many nested calls other than
// UnInit were let in (each should have been refused).
template <typename Runner, typename Sink>
int RunSinkReentry(Runner& runner, Sink& sink, const Step& step) {
  struct Hook {
    Runner* runner;
    uint32_t host;
    uint32_t id;
    int admitted;
    static void Call(void* self) {
      auto* hook = static_cast<Hook*>(self);
      if (hook->runner->CurrentThread() != hook->host) return;
      for (Op op : {Op::kInit, Op::kRegister, Op::kUnregister}) {
        if (hook->runner->Call(op, hook->id) != kFail) ++hook->admitted;
      }
      hook->runner->Call(Op::kUnInit, hook->id);
    }
  } hook{&runner, runner.CurrentThread(), step.callId, 0};
  sink.SetVPrintHook(&Hook::Call, &hook);
  EXPECT_EQ(runner.Call(step.call, step.id), step.expect);
  sink.SetVPrintHook(nullptr, nullptr);
  return hook.admitted;
}

// Init, `cycles` times Register, Unregister of a service whose three receives
// are pending, then UnInit.
inline std::vector<Step> StopsWithReceivesPending(int cycles) {
  std::vector<Step> steps{Init(kOk)};
  for (int i = 0; i < cycles; ++i) {
    steps.insert(steps.end(), {Register(4, kOk), Do(Op::kAwaitReceives, 4), Unregister(4, kOk)});
  }
  steps.push_back(Do(Op::kUnInit));
  return steps;
}

inline std::vector<Sequence> LifecycleSequences() {
  return {
      // Each free ends the receives it finds pending: nothing is cancelled.
      {"StopsWithReceivesPendingCancelNothing", StopsWithReceivesPending(100), {false, {}, 1}},
      {"PlainSessionServesAndEnds",
       {Init(kOk), Register(3, kOk), Do(Op::kServe, 3), Unregister(3, kOk), Register(3, kOk),
        Do(Op::kUnInit)},
       {false, {}, 1}},
      // A failed Init that finds services filed keeps the device and the
      // channel: service 5 goes on serving, and UnInit still stops it.
      {"FailedInitKeepsTheDeviceForFiledServices",
       {Init(kOk), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
        Register(5, kOk), Do(Op::kRefuseEchoPort), Init(kFail),
        Await("quorvel-Init: start echo failed."), Do(Op::kServe, 5), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"FailedInitKeepsAnOpenDeviceUntilUnInit",
       {Init(kOk), Do(Op::kFailPings), Await("quorvel: echo quit."), Do(Op::kHealPings),
        Do(Op::kRefuseEchoPort), Init(kFail), Register(6, kOk), Do(Op::kServe, 6), Init(kOk),
        Do(Op::kAwaitHeartbeat)},
       {true, {6}, 0}},
      // The echo thread has lost the heartbeat and waits for the lock held by
      // a host thread; that thread's Init does the teardown and starts a new
      // heartbeat, so its 0 means a heartbeat runs.
      {"InitDuringAHeartbeatLossStartsANewHeartbeat",
       {Init(kOk), Register(1, kOk), Do(Op::kHoldLock), Do(Op::kFailPings),
        Await("quorvel: echo error."), Do(Op::kHealPings), Init(kOk), Do(Op::kReleaseLock),
        Do(Op::kAwaitHeartbeat), Unregister(1, kFail), Register(1, kOk), Do(Op::kServe, 1)},
       {true, {1}, 0}},
      // A Register in the same window runs after the pending teardown, so the
      // service it reports is not stopped by the loss that came before it.
      {"RegisterDuringAHeartbeatLossKeepsServing",
       {Init(kOk), Register(1, kOk), Do(Op::kHoldLock), Do(Op::kFailPings),
        Await("quorvel: echo error."), Register(2, kOk), Do(Op::kReleaseLock),
        Await("quorvel: echo quit."), Do(Op::kServe, 2), Unregister(1, kFail), Do(Op::kUnInit)},
       {false, {}, 1}},
      // Stop and Close after a refused port, then again on the replace,
      // Unregister and UnInit paths: no closed handle is ever waited on.
      {"RepeatedStopsSkipClosedHandles",
       {Init(kOk), Do(Op::kRefuseServicePort), Register(5, kFail), Register(5, kOk),
        Do(Op::kRefuseServicePort), Register(6, kFail), Unregister(6, kOk),
        Do(Op::kRefuseServicePort), Register(7, kFail), Do(Op::kUnInit), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"FailedEchoStartClosesWhatItOpened",
       {Do(Op::kRefuseEchoPort), Init(kFail), Register(1, kFail), Do(Op::kUnInit), Init(kOk),
        Do(Op::kAwaitHeartbeat), Do(Op::kUnInit)},
       {false, {}, 1}},
      // An entry point called on a library thread returns at once instead of
      // waiting for that thread or for a stop that waits for it; the message
      // is answered and the service goes on serving.
      {"CallbackUnregisteringItsServiceIsRefused",
       {Init(kOk), Register(3, kOk),
        Reenter(Op::kCallbackCalls, 3, Op::kUnregister, 3,
                "quorvel-Unregister( 3 ): refused on a library thread (inside a callback)."),
        Do(Op::kServe, 3), Unregister(3, kOk), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"CallbackUnInitIsIgnored",
       {Init(kOk), Register(3, kOk),
        Reenter(Op::kCallbackCalls, 3, Op::kUnInit, 0,
                "quorvel-UnInit: ignored on a library thread (inside a callback)."),
        Do(Op::kServe, 3), Do(Op::kAwaitHeartbeat)},
       {true, {3}, 0}},
      {"CallbackCallsDuringAStopReturn",
       {Init(kOk), Register(3, kOk), Register(5, kOk),
        Reenter(Op::kCallbackCallsInStop, 3, Op::kRegister, 4,
                "quorvel-Register( 4 ): refused on a library thread (inside a callback)."),
        Reenter(Op::kCallbackCallsInStop, 5, Op::kInit, 0,
                "quorvel-Init: refused on a library thread (inside a callback)."),
        Register(3, kOk), Do(Op::kServe, 3), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"HeartbeatThreadUnInitIsIgnored",
       {Init(kOk), Register(2, kOk),
        Reenter(Op::kHeartbeatCalls, 0, Op::kUnInit, 0,
                "quorvel-UnInit: ignored on a library thread (inside a callback)."),
        Await("quorvel: echo quit."), Unregister(2, kFail), Do(Op::kUnInit)},
       {false, {}, 1}},
      // The framework's sink runs on whichever thread logs, so inside an
      // entry point it runs on the host's thread under the library's lock:
      // every entry point called there returns at once, and the outer one
      // goes on undisturbed (a nested Unregister during UnInit's stop would
      // free the connection being stopped).
      {"SinkCallsInsideInitAreRefused",
       {SinkReenters(Op::kInit, 0, 2), Register(2, kOk), Do(Op::kServe, 2), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"SinkCallsInsideRegisterAreRefused",
       {Init(kOk), SinkReenters(Op::kRegister, 2, 2), Do(Op::kServe, 2), Do(Op::kUnInit)},
       {false, {}, 1}},
      {"SinkCallsInsideUnregisterAreRefused",
       {Init(kOk), Register(2, kOk), SinkReenters(Op::kUnregister, 2, 2), Register(2, kOk),
        Do(Op::kServe, 2), Do(Op::kUnInit)},
       {false, {}, 1}},
      // A driver whose free keeps the receives holds each stop only for the
      // grace, and UnInit's several stops pay it once: the receives still
      // pending are cancelled, and the next Register is served.
      {"FreeThatKeepsReceivesHoldsNoStop",
       {Init(kOk), Register(1, kOk), Register(2, kOk), Register(3, kOk), Do(Op::kServe, 1),
        Do(Op::kKeepReceives), Unregister(1, kOk), Register(1, kOk), Do(Op::kServe, 1),
        Do(Op::kUnInit)},
       {false, {}, 1}},
      {"SinkCallsInsideUnInitAreRefused",
       {Init(kOk), Register(1, kOk), SinkReenters(Op::kUnInit, 0, 1)},
       {false, {}, 1}},
  };
}

}  // namespace sequences
}  // namespace qrv

#endif  // QRV_TESTS_COMMON_LIFECYCLE_SEQUENCES_H_
