// Synchronous requests that the driver answers pending: the library awaits
// each one, so it goes on exactly as if the driver had answered at once, and
// nothing the driver does at the late completion touches memory the library
// has let go (ASan watches the reply's answer block and the answer words).
// A driver that never answers is cut off: a ping after one heartbeat period,
// an entry point's request after its bound, a worker's request by the stop;
// each such request is cancelled, so the library never hangs on it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "library_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

constexpr uint32_t kService = 6;
constexpr auto kDelay = std::chrono::milliseconds(100);
// Long enough never to end within a test: the request is held without release.
constexpr auto kHeld = std::chrono::hours(24);
constexpr unsigned kEveryRequest = 0xFFFFFFFFu;
// Two heartbeat periods and some slack for a loaded machine.
constexpr int kTwoPeriodsMs = 2500;
constexpr auto kUnInitBound = std::chrono::seconds(5);

// Answers with the message reversed, in a block lent by the allocator.
void WINAPI Reverse(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                    void** answer, uint32_t* answerLength) {
  auto* bytes = static_cast<uint8_t*>(allocator->Allocate(length));
  if (bytes == nullptr) return;
  const auto* in = static_cast<const uint8_t*>(message);
  std::reverse_copy(in, in + length, bytes);
  *answer = bytes;
  *answerLength = length;
}

struct PendedCase {
  const char* name;
  DWORD code;
};

class PendedRequest : public LibraryTest, public ::testing::WithParamInterface<PendedCase> {};

}  // namespace

TEST_P(PendedRequest, CompletesAsIfAnsweredAtOnce) {
  Driver().DelayRequests(GetParam().code, kDelay);
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Register(kService, &Reverse, nullptr), S_OK);
  // One message for each thread index: every worker binds and serves.
  for (uint8_t index = 0; index < 3; ++index) {
    auto message = Driver().Post(kService, 1, {1, 2, 3, index}, index);
    ASSERT_TRUE(message->WaitFinal(kWait)) << "thread index " << int{index} << " never answered";
    EXPECT_STREQ(qrv::sim::OutcomeName(message->outcome()), "answered");
    EXPECT_EQ(message->reply(), (std::vector<uint8_t>{index, 3, 2, 1}));
  }
  EXPECT_TRUE(Driver().WaitForRequests(wire::kEcho, 2, kWait)) << "the heartbeat stopped";

  const auto delayed = RequestsOf(GetParam().code);
  ASSERT_FALSE(delayed.empty());
  EXPECT_TRUE(delayed[0].pended) << "the fault never fired";
  EXPECT_EQ(delayed[0].status.value_or(-1), 0) << "the delayed request failed";
  EXPECT_EQ(Texts(), (std::vector<std::string>{"quorvel-Initialize successfully.",
                                               "quorvel: allocate port[1] for service[6]",
                                               "quorvel-Register( 6 ): success."}));
}

INSTANTIATE_TEST_SUITE_P(Codes, PendedRequest,
                         ::testing::Values(PendedCase{"Ping", wire::kEcho},
                                           PendedCase{"Bind", wire::kBindThread},
                                           PendedCase{"PortRequest", wire::kAllocatePort},
                                           PendedCase{"Reply", wire::kReply}),
                         [](const ::testing::TestParamInfo<PendedCase>& info) {
                           return std::string(info.param.name);
                         });

namespace {

struct HeldCase {
  const char* name;
  DWORD code;
  bool registers;  // Register succeeds although the request is held
};

class HeldRequest : public LibraryTest, public ::testing::WithParamInterface<HeldCase> {
 protected:
  // UnInit under a bound; a hang ends the process, since the stuck thread
  // could never be joined.
  static void ExpectUnInitReturns() {
    auto done = std::async(std::launch::async, [] { UnInit(); });
    if (done.wait_for(kUnInitBound) == std::future_status::ready) return;
    std::fprintf(stderr, "UnInit did not return within %lld s\n",
                 static_cast<long long>(kUnInitBound.count()));
    std::_Exit(1);
  }
};

}  // namespace

TEST_P(HeldRequest, IsCancelledAndNothingHangs) {
  const HeldCase& held = GetParam();
  Driver().ClearRequestLog();
  Driver().DelayRequests(held.code, kHeld, kEveryRequest);
  ASSERT_EQ(Init(0), held.code == wire::kCreateEchoPort ? E_FAIL : S_OK);
  ASSERT_EQ(Register(kService, &Reverse, nullptr), held.registers ? S_OK : E_FAIL);
  if (held.code == wire::kReply) Driver().Post(kService, 1, {1, 2});
  if (held.code == wire::kEcho) {
    EXPECT_TRUE(Sink().WaitForText("quorvel: echo error.", kTwoPeriodsMs))
        << "a ping left pending never failed the heartbeat";
    EXPECT_TRUE(WaitUntil([] { return !Driver().PortOf(kService).has_value(); }))
        << "the services were not torn down";
  }
  if (held.code != wire::kCloseEchoPort && held.code != wire::kFreePort) {
    ASSERT_TRUE(Driver().WaitForRequests(held.code, 1, kWait)) << "the request never came";
  }
  ExpectUnInitReturns();
  const auto requests = RequestsOf(held.code);
  ASSERT_FALSE(requests.empty());
  EXPECT_TRUE(requests[0].pended) << "the fault never fired";
  EXPECT_EQ(requests[0].status.value_or(0), qrv::posix::kStatusCancelled);
  Driver().ClearFaults();
}

INSTANTIATE_TEST_SUITE_P(Codes, HeldRequest,
                         ::testing::Values(HeldCase{"Ping", wire::kEcho, true},
                                           HeldCase{"Bind", wire::kBindThread, true},
                                           HeldCase{"Reply", wire::kReply, true},
                                           HeldCase{"AllocatePort", wire::kAllocatePort, false},
                                           HeldCase{"CreateEchoPort", wire::kCreateEchoPort, false},
                                           HeldCase{"FreePort", wire::kFreePort, true},
                                           HeldCase{"CloseEchoPort", wire::kCloseEchoPort, true}),
                         [](const ::testing::TestParamInfo<HeldCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace qrv
