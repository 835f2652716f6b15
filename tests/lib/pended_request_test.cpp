// Synchronous requests that the driver answers pending: the library awaits
// each one, so it goes on exactly as if the driver had answered at once, and
// nothing the driver does at the late completion touches memory the library
// has let go (ASan watches the reply's answer block and the answer words).
// A driver that never answers is cut off: a ping after one heartbeat period,
// an entry point's request after its bound, a worker's request by the stop;
// each such request is cancelled, so the library never hangs on it, or
// abandoned when the driver ignores that (ASan watches its late completion).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>

#include "library_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

constexpr uint32_t kService = 6;
constexpr size_t kWorkers = 3;  // a service's worker threads
constexpr auto kDelay = std::chrono::milliseconds(100);
// Never ends within a test: a held request is cancelled, or ends when the test
// calls EndDelays once the library has given it up.
constexpr auto kHeld = std::chrono::hours(24);
constexpr unsigned kEveryRequest = 0xFFFFFFFFu;
// Only a hang reaches it: an entry point gives a request up within 2 s.
constexpr auto kEntryWatchdog = std::chrono::seconds(60);

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
  bool registers;                               // Register succeeds although the request is held
  std::optional<DWORD> ignored = std::nullopt;  // requests of this code ignore cancellation
};

std::string NameOf(const ::testing::TestParamInfo<HeldCase>& info) { return info.param.name; }

class HeldRequest : public LibraryTest, public ::testing::WithParamInterface<HeldCase> {
 protected:
  // An entry point under a watchdog; a hang ends the process (no join) with
  // the row, the call and the held requests.
  template <typename Call>
  static auto Returns(const char* name, Call call) {
    auto done = std::async(std::launch::async, call);
    if (done.wait_for(kEntryWatchdog) == std::future_status::ready) return done.get();
    std::fprintf(stderr, "row %s: awaited %s's return for %lld s; seen: %s\n", GetParam().name,
                 name, static_cast<long long>(kEntryWatchdog.count()),
                 Driver().DescribeRequests(GetParam().code).c_str());
    std::_Exit(1);
  }

  // Once `line` is logged, the driver finishes the requests it holds back,
  // so their late completion always follows the library's giving up. True
  // when the line came.
  std::future<bool> EndDelaysOnceLogged(const std::string& line) {
    return std::async(std::launch::async, [this, line] {
      const bool logged = Sink().WaitForText(line, kEntryWatchdog / std::chrono::milliseconds(1));
      Driver().EndDelays();
      return logged;
    });
  }
};

}  // namespace

TEST_P(HeldRequest, IsCancelledAndNothingHangs) {
  const HeldCase& held = GetParam();
  Driver().ClearRequestLog();
  Driver().DelayRequests(held.code, kHeld, kEveryRequest);
  std::string abandoned;
  std::future<bool> abandonedLogged;
  if (held.ignored) {
    Driver().IgnoreCancellation(*held.ignored, kEveryRequest);
    char line[96];
    std::snprintf(line, sizeof(line), "%s%x",
                  "quorvel: request abandoned, the driver ignored its cancellation; control code ",
                  static_cast<unsigned>(*held.ignored));
    abandoned = line;
    abandonedLogged = EndDelaysOnceLogged(abandoned);
  }
  ASSERT_EQ(Returns("Init", [] { return Init(0); }),
            held.code == wire::kCreateEchoPort ? E_FAIL : S_OK);
  ASSERT_EQ(Returns("Register", [] { return Register(kService, &Reverse, nullptr); }),
            held.registers ? S_OK : E_FAIL);
  if (held.code == wire::kReply) Driver().Post(kService, 1, {1, 2});
  if (held.code == wire::kEcho) {
    ExpectText("quorvel: echo error.");
    EXPECT_TRUE(WaitUntil([] { return !Driver().PortOf(kService).has_value(); }))
        << "the services were not torn down";
  }
  if (held.code != wire::kCloseEchoPort && held.code != wire::kFreePort) {
    ASSERT_TRUE(Driver().WaitForRequests(held.code, 1, kWait)) << "the request never came";
  }
  // The stop must find every worker's receive pending, or there is none to give up.
  if (held.ignored == wire::kReceive) {
    ASSERT_TRUE(Driver().WaitForPendingReceives(kService, kWorkers, kWait))
        << "awaited " << kWorkers
        << " pending receives; seen: " << Driver().DescribeRequests(wire::kReceive);
  }
  Returns("UnInit", [] { UnInit(); });
  const auto requests = RequestsOf(held.code);
  ASSERT_FALSE(requests.empty());
  EXPECT_TRUE(requests[0].pended) << "the fault never fired";
  if (!held.ignored) {
    EXPECT_EQ(requests[0].status.value_or(0), qrv::posix::kStatusCancelled);
  } else {
    EXPECT_TRUE(abandonedLogged.get()) << "never logged: \"" << abandoned << "\"";
    EXPECT_TRUE(WaitUntil([&] {
      const auto ignored = RequestsOf(*held.ignored);
      return !ignored.empty() && ignored.back().status.has_value();
    })) << "the driver never completed the abandoned request; seen: "
        << Driver().DescribeRequests(*held.ignored);
  }
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
                         NameOf);
// A receive ends when its port is freed: the free-port request is held (and
// cancelled) there.
INSTANTIATE_TEST_SUITE_P(
    IgnoringCancel, HeldRequest,
    ::testing::Values(HeldCase{"Ping", wire::kEcho, true, wire::kEcho},
                      HeldCase{"Bind", wire::kBindThread, true, wire::kBindThread},
                      HeldCase{"Reply", wire::kReply, true, wire::kReply},
                      HeldCase{"AllocatePort", wire::kAllocatePort, false, wire::kAllocatePort},
                      HeldCase{"CreateEchoPort", wire::kCreateEchoPort, false,
                               wire::kCreateEchoPort},
                      HeldCase{"FreePort", wire::kFreePort, true, wire::kFreePort},
                      HeldCase{"CloseEchoPort", wire::kCloseEchoPort, true, wire::kCloseEchoPort},
                      HeldCase{"Receive", wire::kFreePort, true, wire::kReceive}),
    NameOf);

}  // namespace qrv
