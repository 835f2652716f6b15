// Faults raised inside the framework's code, as a framework built by
// another compiler raises them on Windows: an access violation and an
// MSVC-style C++ exception (structured exception 0xE06D7363). The library's
// Print catches both, on the host's threads and on its own, and every
// operation goes on as if the message had been written; so do the calls
// that open and shut the log channel, which count as failed. A caught C++
// exception's object is destroyed as a catch-all would destroy it, and the
// codes that must never be swallowed pass on to the host's own handlers.
#include <functional>
#include <vector>

#include "host/host_catch.h"
#include "host/host_fixture.h"
#include "host/msvc_throw.h"
#include "host/stdcall_probe.h"

namespace qrv {
namespace wintest {
namespace {

void RaiseFromVPrint(void* how) { RaiseMsvcCppException(*static_cast<const MsvcThrow*>(how)); }

// The hook's context for a hook that only reads it.
void* HookContext(const void* context) { return const_cast<void*>(context); }

// A structured exception handler of the host, linked into the calling
// thread's chain (FS:[0]) for the object's life, outside every frame of the
// library. It notes each code that reaches it and continues the raise.
// Lives on the stack, as the chain requires.
class HostFrame {
 public:
  HostFrame() {
    // Handlers are called __cdecl; the headers declare the slot stdcall.
    record_.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(reinterpret_cast<void*>(&Handle));
    __asm__ volatile("movl %%fs:0, %0" : "=r"(record_.Next));
    __asm__ volatile("movl %0, %%fs:0" : : "r"(&record_) : "memory");
  }
  ~HostFrame() { __asm__ volatile("movl %0, %%fs:0" : : "r"(record_.Next) : "memory"); }
  HostFrame(const HostFrame&) = delete;
  HostFrame& operator=(const HostFrame&) = delete;

  const std::vector<DWORD>& codes() const { return codes_; }

 private:
  static EXCEPTION_DISPOSITION __cdecl Handle(EXCEPTION_RECORD* exception, void* establisher,
                                              CONTEXT*, void*) {
    if ((exception->ExceptionFlags &
         (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND | EXCEPTION_NONCONTINUABLE)) != 0)
      return ExceptionContinueSearch;
    static_cast<HostFrame*>(establisher)->codes_.push_back(exception->ExceptionCode);
    return ExceptionContinueExecution;
  }

  EXCEPTION_REGISTRATION_RECORD record_;  // first: the chain points at it
  std::vector<DWORD> codes_;
};

// What VPrint raises on one thread, continuably; other threads print.
struct ThreadRaise {
  DWORD thread;
  DWORD code;
};

void RaiseOnThread(void* context) {
  const auto* raise = static_cast<const ThreadRaise*>(context);
  if (GetCurrentThreadId() == raise->thread) RaiseException(raise->code, 0, 0, nullptr);
}

class SinkFault : public HostTest {
 protected:
  // Runs the library's operations with the sink faulting while arm(true)
  // holds.
  void RunWithFaultingSink(const std::function<void(bool)>& arm) {
    HostService& service = NewService();
    arm(true);
    ASSERT_EQ(Init(), QUORVEL_OK);                // one message
    ASSERT_EQ(Register(2, service), QUORVEL_OK);  // two
    ASSERT_TRUE(WaitForPendingReceives(2, 3)) << "the workers never received";
    EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(12, 2))).reply, Bytes(12, 2));
    // The free-port line, each worker's two lines on its own thread, and
    // the result line.
    ASSERT_EQ(Unregister(2), QUORVEL_OK);
    EXPECT_EQ(Sink().Counters().vprintCalls, kFaultedPrints);
    EXPECT_EQ(Sink().RecordCount(), 0);

    // With the fault cleared the same sink takes the messages again.
    arm(false);
    ASSERT_EQ(Register(3, service), QUORVEL_OK);
    ExpectText("quorvel-Register( 3 ): success.");
    EXPECT_EQ(AwaitOutcome(Post(3, 1, Bytes(7, 3))).reply, Bytes(7, 3));
    UnInit();
    ExpectText("quorvel-UnInit: ok.");
    EXPECT_EQ(Sink().Counters().liveComponents, 0);
  }
  void RunWithFaultingSink(pxcom::StandIn::Fault fault) {
    RunWithFaultingSink([this, fault](bool on) {
      EXPECT_TRUE(Sink().SetVPrintFault(on ? fault : pxcom::StandIn::Fault::kNone))
          << "the stand-in cannot raise this fault";
    });
  }

  static constexpr int kFaultedPrints = 1 + 2 + 1 + 3 * 2 + 1;
};

TEST_F(SinkFault, AccessViolationInVPrintIsCaughtInPrint) {
  RunWithFaultingSink(pxcom::StandIn::Fault::kAccessViolation);
}

TEST_F(SinkFault, CppExceptionInVPrintIsCaughtInPrint) {
  RunWithFaultingSink(pxcom::StandIn::Fault::kThrow);
}

TEST_F(SinkFault, ThrownObjectsAreDestroyedOnceEach) {
  static const MsvcThrow kThrow;
  RunWithFaultingSink([this](bool on) {
    Sink().SetVPrintHook(on ? &RaiseFromVPrint : nullptr, HookContext(&kThrow));
  });
  EXPECT_EQ(ObjectsDestroyed(), kFaultedPrints);
  EXPECT_EQ(ObjectsMisdestroyed(), 0) << "an object destroyed twice, or after its frame was gone";
}

// Only a record of the throw protocol, long enough to hold the object and
// its throw info, names an object to destroy; a throw info may name none,
// and a rethrow record names neither.
TEST_F(SinkFault, OnlyObjectsOfTheThrowProtocolAreDestroyed) {
  struct Case {
    MsvcThrow how;
    bool destroyed;
  };
  static const Case kCases[] = {
      {{0x19930520, true, 3}, true},
      {{0x19930521, true, 3}, true},
      {{0x19930522, true, 3}, true},
      {{0x19930520, false, 3}, false},
      {{0x19930523, true, 3}, false},
      {{0x19930520, true, 2}, false},
      // The rethrow record MSVC's runtime raises: nothing to follow.
      {{0x19930520, true, 3, false, false}, false},
      {{0x19930520, true, 3, false, true}, false},
      {{0x19930520, true, 3, true, false}, false},
  };
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  const int records = Sink().RecordCount();
  for (const Case& test : kCases) {
    SCOPED_TRACE(::testing::Message()
                 << std::hex << "magic 0x" << test.how.magic << ", " << test.how.parameters
                 << " parameters, destructor " << test.how.destructor << ", object "
                 << test.how.object << ", info " << test.how.info);
    const int printsBefore = Sink().Counters().vprintCalls;
    const int destroyedBefore = ObjectsDestroyed();
    Sink().SetVPrintHook(&RaiseFromVPrint, HookContext(&test.how));
    // Unregister returns once the service's workers have ended: every print
    // of both calls is over by then.
    ASSERT_EQ(Register(5, service), QUORVEL_OK);
    ASSERT_EQ(Unregister(5), QUORVEL_OK);
    Sink().SetVPrintHook(nullptr, nullptr);
    const int prints = Sink().Counters().vprintCalls - printsBefore;
    EXPECT_GT(prints, 0);
    EXPECT_EQ(ObjectsDestroyed() - destroyedBefore, test.destroyed ? prints : 0);
  }
  EXPECT_EQ(ObjectsMisdestroyed(), 0);
  EXPECT_EQ(Sink().RecordCount(), records) << "a raising print was recorded";
}

TEST_F(SinkFault, CodesThatMustNotBeSwallowedReachTheHost) {
  struct Case {
    DWORD code;
    bool passes;
  };
  static const Case kCases[] = {
      {0xC00000FD, true},   // stack overflow
      {0x80000003, true},   // breakpoint
      {0x80000004, true},   // single step
      {0xC0000194, true},   // possible deadlock
      {0xC0000374, true},   // heap corruption
      {0xC0000409, true},   // stack buffer overrun
      {0xC0000420, true},   // assertion failure
      {0xC0000005, false},  // access violation
      {0xC0000094, false},  // integer division by zero
      {0x80000001, false},  // guard page
      {0xE06D7363, false},  // C++ exception
      {0x20000001, false},  // an application's own code
  };
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  for (const Case& test : kCases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "code 0x" << test.code);
    const ThreadRaise raise{GetCurrentThreadId(), test.code};
    Sink().SetVPrintHook(&RaiseOnThread, HookContext(&raise));
    std::vector<DWORD> seen;
    {
      HostFrame frame;
      ASSERT_EQ(Register(6, service), QUORVEL_OK);
      ASSERT_EQ(Unregister(6), QUORVEL_OK);
      seen = frame.codes();
    }
    Sink().SetVPrintHook(nullptr, nullptr);
    EXPECT_EQ(!seen.empty(), test.passes) << seen.size() << " raises reached the host";
    for (DWORD code : seen) EXPECT_EQ(code, test.code);
  }
}

// Service 7 registered and unregistered on a thread of the host's own.
struct Registration {
  const quorvel::HostLibrary* library;
  HostService* service;
  int32_t result;
};

DWORD WINAPI RegisterAndUnregister(LPVOID context) {
  auto* call = static_cast<Registration*>(context);
  call->result = call->library->registerService(
      7, reinterpret_cast<UcServiceCallback>(&qrv_service_stub), call->service);
  if (call->result == QUORVEL_OK) call->library->unregisterService(7);
  return 0;
}

// A fault in each call that opens (Init) or shuts (UnInit) the log channel,
// with the host catching around the entry point: nothing reaches the host,
// the process-wide lock is free for another thread's Register, and the
// channel opens again once the fault is gone.
TEST_F(SinkFault, FaultInAFrameworkCallNeverLeavesTheEntryPoint) {
  using Call = pxcom::StandIn::Call;
  using Fault = pxcom::StandIn::Fault;
  struct Case {
    Call call;
    bool inInit;  // the call runs in Init's Open, else in UnInit's Shutdown
  };
  static const Case kCases[] = {{Call::kCreateInstance, true},
                                {Call::kCreateSink, true},
                                {Call::kDestroySink, false},
                                {Call::kRelease, false}};
  HostService& service = NewService();
  for (const Case& test : kCases) {
    for (Fault fault : {Fault::kThrow, Fault::kAccessViolation}) {
      SCOPED_TRACE(::testing::Message() << "call " << static_cast<int>(test.call) << ", fault "
                                        << static_cast<int>(fault));
      Sink().Reset();
      const int live = Sink().Counters().liveComponents;
      ASSERT_TRUE(Sink().SetCallFault(test.call, fault));
      if (!test.inInit) {
        ASSERT_EQ(Init(), QUORVEL_OK);
      }
      int32_t result = QUORVEL_E_FAIL;
      const DWORD escaped = CallCatchingAll([&] {
        if (test.inInit) {
          result = Init();
        } else {
          UnInit();
        }
      });
      EXPECT_EQ(escaped, 0u) << std::hex << "exception 0x" << escaped << " left the entry point";
      if (test.inInit) {
        EXPECT_EQ(result, QUORVEL_OK);
      }

      Registration registration{&Library(), &service, 0};
      {
        Watchdog watchdog("Register on a second thread after a framework fault", kWaitMs);
        HANDLE thread = CreateThread(nullptr, 0, &RegisterAndUnregister, &registration, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
      }
      // Registered while initialised; refused, but returned, after UnInit.
      EXPECT_EQ(registration.result, test.inInit ? QUORVEL_OK : QUORVEL_E_FAIL);

      Sink().SetCallFault(test.call, Fault::kNone);
      UnInit();
      ASSERT_EQ(Init(), QUORVEL_OK);
      ExpectText("quorvel-Initialize successfully.");
      UnInit();
      EXPECT_EQ(Sink().Counters().liveComponents, live) << "a component was left behind";
    }
  }
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
