// Service callbacks built with the MSVC ABI (msvc_eh_callbacks.dll) whose
// real C++ exceptions meet the library's guard: each escaping exception ends
// only its worker, every object is destroyed at most once and msvcrt's heap
// stays sound, and the remaining workers go on serving.
#include <windows.h>

#include <string>
#include <vector>

#include "host/host_fixture.h"
#include "msvc_eh/msvc_eh_callbacks.h"

namespace qrv {
namespace wintest {
namespace {

// The DLL built with the MSVC ABI, next to this program.
class MsvcCallbacks {
 public:
  MsvcCallbacks() : module_(LoadLibraryA("msvc_eh_callbacks.dll")) {
    if (module_ == nullptr) return;
    serve = Find<const void*>("_MsvcEhServe@24");  // stdcall, exported decorated
    readCounts = Find<decltype(readCounts)>("MsvcEhReadCounts");
    heapValid = Find<decltype(heapValid)>("MsvcEhHeapValid");
    hostCatches = Find<decltype(hostCatches)>("MsvcEhHostCatches");
  }
  // Kept loaded: workers may call into it until the test's UnInit.
  MsvcCallbacks(const MsvcCallbacks&) = delete;
  MsvcCallbacks& operator=(const MsvcCallbacks&) = delete;

  bool Loaded() const { return serve && readCounts && heapValid && hostCatches; }
  MsvcEhCounts Counts() const {
    MsvcEhCounts counts{};
    readCounts(&counts);
    return counts;
  }

  const void* serve = nullptr;
  void(__cdecl* readCounts)(MsvcEhCounts*) = nullptr;
  int(__cdecl* heapValid)() = nullptr;
  int32_t(__cdecl* hostCatches)(QuorvelRegisterFn, QuorvelUnregisterFn, uint32_t) = nullptr;

 private:
  template <typename Pointer>
  Pointer Find(const char* name) const {
    return reinterpret_cast<Pointer>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }

  HMODULE module_;
};

class MsvcEh : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    ASSERT_TRUE(callbacks_.Loaded()) << "msvc_eh_callbacks.dll or one of its exports is missing";
  }
  MsvcCallbacks callbacks_;
};

// How many objects each behaviour makes, and how many of them end up
// destroyed. The guard destroys at most once and leaves alone an exception
// that leaves a catch block: Wine's runtime destroys a rethrown object while
// it unwinds the rethrowing catch block (MSVC's leaves it to the catcher, and
// raises the rethrow with no object the guard could reach: 0 there), and the
// new object thrown from a catch block is left, one leak per ended worker,
// while the runtime destroys the one it was handling.
TEST_F(MsvcEh, EachObjectIsDestroyedAtMostOnceAndTheOtherWorkersServe) {
  struct Case {
    const char* name;
    uint8_t behaviour;
    bool workerEnds;
    int made;
    int destroyed;
  };
  static const Case kCases[] = {
      {"throw", kMsvcEhThrow, true, 1, 1},
      {"rethrow", kMsvcEhRethrow, true, 1, 1},
      {"new throw in a catch block", kMsvcEhThrowInCatch, true, 2, 1},
      {"caught inside the callback", kMsvcEhCaughtInside, false, 1, 1},
  };
  ASSERT_EQ(Init(), QUORVEL_OK);
  uint32_t serviceId = 0;
  for (const Case& test : kCases) {
    SCOPED_TRACE(test.name);
    ++serviceId;
    ASSERT_EQ(Register(serviceId, callbacks_.serve, nullptr), QUORVEL_OK);
    ASSERT_TRUE(WaitForPendingReceives(serviceId, 3)) << "the workers never received";
    const std::string where = "service[" + std::to_string(serviceId) + "] port[" +
                              std::to_string(PortOf(serviceId)) + "] thread[0]";
    // The worker's last two lines: the exception's, then its quit line.
    const std::vector<std::string> ending = {
        "quorvel: callback exception. " + where + " code[0xe06d7363]",
        "quorvel: " + where + " quit."};
    const MsvcEhCounts before = callbacks_.Counts();
    const uint32_t first = Post(serviceId, 1, {test.behaviour}, 0);
    MessageOutcome outcome;
    if (test.workerEnds) {
      ExpectText(ending[1]);
      const std::vector<std::string> texts = Texts();
      EXPECT_EQ(std::vector<std::string>(texts.end() - 2, texts.end()), ending);
      ASSERT_EQ(Control().Outcome(first, false, &outcome), static_cast<DWORD>(ERROR_SUCCESS));
      EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_DELIVERED))
          << "a reply was sent";
    } else {
      outcome = AwaitOutcome(first);
      EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
    }
    for (uint8_t i = 0; i < 4; ++i) {
      MessageOutcome outcome =
          AwaitOutcome(Post(serviceId, 1, Bytes(20, static_cast<uint8_t>(i + 10))));
      EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
      EXPECT_EQ(outcome.reply, Bytes(20, static_cast<uint8_t>(i + 10)));
    }
    // Unregister returns once the workers have ended: every destructor that
    // will run has run.
    ASSERT_EQ(Unregister(serviceId), QUORVEL_OK);
    const MsvcEhCounts after = callbacks_.Counts();
    EXPECT_EQ(after.made - before.made, test.made);
    EXPECT_EQ(after.destroyed - before.destroyed, test.destroyed);
    EXPECT_EQ(after.misdestroyed, 0) << "an object destroyed twice, or after its frame was gone";
    EXPECT_NE(callbacks_.heapValid(), 0) << "msvcrt's heap is corrupt";
  }
}

// The host's own try block around entry points keeps its exception: the
// library's guard frames are gone by the time the host throws, and its catch
// block destroys the object once.
TEST_F(MsvcEh, HostCatchesItsOwnExceptionsAroundEntryPoints) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  const MsvcEhCounts before = callbacks_.Counts();
  EXPECT_EQ(callbacks_.hostCatches(Library().registerService, Library().unregisterService, 7),
            QUORVEL_OK);
  const MsvcEhCounts after = callbacks_.Counts();
  EXPECT_EQ(after.made - before.made, 1);
  EXPECT_EQ(after.destroyed - before.destroyed, 1);
  EXPECT_EQ(after.misdestroyed, 0);
  EXPECT_EQ(PortOf(7), QRVCTL_NO_PORT) << "Unregister in the catch block did not free the port";
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
