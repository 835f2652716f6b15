// Every heap allocation of QUORVEL.DLL failing in turn, in a host that had
// the toolchain's shared runtime (libgcc_s_dw2-1.dll) loaded before the
// library: the library's start-up code then registers its unwind tables
// with that copy, and any C++ exception raised inside the library would
// terminate the host. Each scenario fails the nth allocation of one
// operation for n = 1, 2, ... until the operation makes fewer than n; every
// entry point returns its success or its failure, and the host lives on.
#include <array>
#include <functional>

#include "host/failing_heap.h"
#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

// More allocations than any one operation of the library makes.
constexpr int kMaxAllocations = 200;

bool IsResult(int32_t result) { return result == QUORVEL_OK || result == QUORVEL_E_FAIL; }

class AllocationFailure : public HostTest {
 protected:
  void SetUp() override {
    ASSERT_NE(LoadLibraryA("libgcc_s_dw2-1.dll"), nullptr)
        << "cannot load the shared runtime: error " << GetLastError();
    HostTest::SetUp();
    std::string reason;
    ASSERT_TRUE(InstallFailingHeap(GetModuleHandleA(kLibraryName), &reason)) << reason;
  }
  void TearDown() override {
    StopFailingAllocations();
    HostTest::TearDown();
  }

  // Runs attempt(n) for n = 1, 2, ... until an attempt makes fewer than n
  // allocations, so that its last run is one where nothing failed. The
  // attempt returns StopFailingAllocations().
  void Walk(const std::function<bool(int n)>& attempt) {
    for (int n = 1; n < kMaxAllocations; ++n) {
      SCOPED_TRACE(::testing::Message() << "allocation " << n << " failing");
      if (!attempt(n)) return;
      if (HasFatalFailure()) return;
    }
    FAIL() << "still allocating after " << kMaxAllocations << " allocations";
  }
};

// Twice: first while the library creates its process-wide objects, then
// with them in place, so that the later allocations fail too.
TEST_F(AllocationFailure, Init) {
  for (int round = 0; round < 2; ++round) {
    Walk([this](int n) {
      FailNthAllocation(n);
      const int32_t result = Init();
      const bool reached = StopFailingAllocations();
      EXPECT_TRUE(IsResult(result)) << std::hex << result;
      if (!reached) {
        EXPECT_EQ(result, QUORVEL_OK);
      }
      UnInit();
      return reached;
    });
  }
  ASSERT_EQ(Init(), QUORVEL_OK);
  ExpectText("quorvel-Initialize successfully.");
}

TEST_F(AllocationFailure, RegisterAndUnregister) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  Walk([&](int n) {
    FailNthAllocation(n);
    const int32_t registered = Register(2, service);
    // Unregister waits for the workers, and with them for their start-up.
    const int32_t unregistered = Unregister(2);
    const bool reached = StopFailingAllocations();
    EXPECT_TRUE(IsResult(registered)) << std::hex << registered;
    EXPECT_TRUE(IsResult(unregistered)) << std::hex << unregistered;
    if (!reached) {
      EXPECT_EQ(registered, QUORVEL_OK);
    }
    return reached;
  });
  ASSERT_EQ(Register(2, service), QUORVEL_OK);
  ASSERT_TRUE(WaitForPendingReceives(2, 3)) << "the workers never received";
  EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(12, 2))).reply, Bytes(12, 2));
}

// The allocator a callback is lent, fresh for each round (a new service):
// blocks past the list's first entries grow it, and either heap call may
// fail; a failed Allocate returns null and the rest stay usable.
TEST_F(AllocationFailure, AllocatorInACallback) {
  constexpr int kBlocks = 40;
  HostService& service = NewService();
  int armed = 0;
  bool reached = false;
  int refused = 0;
  service.SetBehaviour([&](ServiceCall& call) {
    FailNthAllocation(armed);
    refused = 0;
    for (int i = 0; i < kBlocks; ++i) refused += call.Allocate(16) == nullptr ? 1 : 0;
    reached = StopFailingAllocations();
    call.EchoBack();
  });
  ASSERT_EQ(Init(), QUORVEL_OK);
  Walk([&](int n) {
    armed = n;
    EXPECT_EQ(Register(3, service), QUORVEL_OK);
    EXPECT_TRUE(WaitForPendingReceives(3, 3)) << "the workers never received";
    EXPECT_EQ(AwaitOutcome(Post(3, 1, Bytes(8, 3))).reply, Bytes(8, 3));
    EXPECT_EQ(refused, reached ? 1 : 0);
    EXPECT_EQ(Unregister(3), QUORVEL_OK);
    return reached;
  });
}

TEST_F(AllocationFailure, UnInit) {
  HostService& service = NewService();
  Walk([&](int n) {
    EXPECT_EQ(Init(), QUORVEL_OK);
    EXPECT_EQ(Register(4, service), QUORVEL_OK);
    FailNthAllocation(n);
    UnInit();
    return StopFailingAllocations();
  });
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(4, service), QUORVEL_OK);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
