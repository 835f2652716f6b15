// Synchronous requests that the driver answers pending: the library awaits
// each one, so it goes on exactly as if the driver had answered at once, and
// nothing the driver does at the late completion touches memory the library
// has let go (ASan watches the reply's answer block and the answer words).
// A driver that never answers is cut off: a ping after one heartbeat period,
// an entry point's request after its bound, a worker's request a grace after
// the stop freed its port; each such request is cancelled, so the library
// never hangs on it, or abandoned when the driver ignores that (ASan watches
// its late completion).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>

#include "library_fixture.h"
#include "platform/posix/device.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

constexpr uint32_t kService = 6;
constexpr auto kDelay = std::chrono::milliseconds(100);
// Long enough never to end within a test: the request is held without release.
constexpr auto kHeld = std::chrono::hours(24);
constexpr unsigned kEveryRequest = 0xFFFFFFFFu;
// Only a watchdog: every wait of these rows ends on an event.
constexpr auto kWatchdog = std::chrono::seconds(60);

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

// A one-byte message is answered with a constant in read-only memory, any
// other with a word of the host's.
uint32_t hostWord = 0;
void WINAPI AnswerFromTheHost(NIMUC::IAllocator*, void*, uint32_t length, void*, void** answer,
                              uint32_t* answerLength) {
  static const char kAck[] = "ACK";
  *answer = length == 1 ? const_cast<char*>(kAck) : static_cast<void*>(&hostWord);
  *answerLength = length == 1 ? 3 : sizeof(hostWord);
}

class HostAnswer : public LibraryTest {};

}  // namespace

// The driver only reads a reply's answer, so the library writes none of it
// back, however short: not a constant in read-only memory, nor a word that
// the host changes while the reply is in flight.
TEST_F(HostAnswer, IsOnlyRead) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Register(kService, &AnswerFromTheHost, nullptr), S_OK);
  auto constant = Driver().Post(kService, 1, {1});
  ASSERT_TRUE(constant->WaitFinal(kWait)) << "the constant answer never arrived";
  EXPECT_EQ(constant->reply(), (std::vector<uint8_t>{'A', 'C', 'K'}));
  hostWord = 0x11111111u;
  Driver().DelayRequests(wire::kReply, kHeld);
  auto word = Driver().Post(kService, 1, {1, 2});
  ASSERT_TRUE(Driver().WaitForRequests(wire::kReply, 2, kWait)) << "the reply never came";
  hostWord = 0x22222222u;
  Driver().FinishDelayed(wire::kReply);
  ASSERT_TRUE(word->WaitFinal(kWait)) << "the held reply never completed";
  EXPECT_EQ(hostWord, 0x22222222u) << "the library wrote the answer back after the reply";
}

namespace {

// Answers at an offset inside a lent block, and from the message itself.
void WINAPI AnswerInsideABlock(NIMUC::IAllocator* allocator, void*, uint32_t, void*, void** answer,
                               uint32_t* answerLength) {
  auto* block = static_cast<uint8_t*>(allocator->Allocate(16));
  if (block == nullptr) return;
  std::memset(block, 7, 16);
  *answer = block + 4;
  *answerLength = 8;
}
void WINAPI AnswerWithTheMessage(NIMUC::IAllocator*, void* message, uint32_t length, void*,
                                 void** answer, uint32_t* answerLength) {
  *answer = message;
  *answerLength = length;
}

struct HeldCase {
  const char* name;
  DWORD code;
  bool registers;                               // Register succeeds although the request is held
  std::optional<DWORD> ignored = std::nullopt;  // requests of this code ignore cancellation
  UcServiceCallback callback = &Reverse;
};

std::string NameOf(const ::testing::TestParamInfo<HeldCase>& info) { return info.param.name; }

bool SentByALibraryThread(DWORD code) {
  return code == wire::kEcho || code == wire::kBindThread || code == wire::kReply ||
         code == wire::kReceive;
}

class HeldRequest : public LibraryTest, public ::testing::WithParamInterface<HeldCase> {
 protected:
  // Waits for an entry point that runs on its own thread; a hang ends the
  // process (no join) with what was awaited.
  template <typename Result>
  static Result Returns(const char* what, std::future<Result> done) {
    if (done.wait_for(kWatchdog) == std::future_status::ready) return done.get();
    std::fprintf(stderr, "row %s: awaited %s's return for %lld s; seen: %s\n", GetParam().name,
                 what, static_cast<long long>(kWatchdog.count()),
                 Driver().DescribeRequests(GetParam().ignored.value_or(GetParam().code)).c_str());
    std::_Exit(1);
  }
  template <typename Call>
  static auto Returns(const char* what, Call call) {
    return Returns(what, std::async(std::launch::async, call));
  }

  // The driver finishes the ignored request now (unless closing the device
  // ended it already), and the test waits until it has.
  void CompleteIgnored() {
    const DWORD code = *GetParam().ignored;
    if (code == wire::kReceive) {
      Driver().CompletePendingReceives(kService, qrv::posix::kStatusSuccess);
    } else {
      Driver().FinishDelayed(code);
    }
    EXPECT_TRUE(WaitUntil([&] {
      const auto requests = RequestsOf(code);
      return !requests.empty() && requests.back().status.has_value();
    })) << "the driver never completed the abandoned request; seen: "
        << Driver().DescribeRequests(code);
  }

  // As on Windows, a library thread that ends with a request outstanding is
  // held until the driver completes it, and the stop that waits for the
  // thread with it: UnInit returns only once the driver lets go.
  void UnInitWhileAThreadIsHeld() {
    auto uninit = std::async(std::launch::async, [] { UnInit(); });
    EXPECT_TRUE(WaitUntil([] { return qrv::posix::ThreadsHeldForRequests() != 0; }))
        << "no library thread was held for its abandoned request";
    EXPECT_EQ(uninit.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "UnInit returned while a library thread was held";
    CompleteIgnored();
    Returns("UnInit", std::move(uninit));
  }

  // A port granted after its request was abandoned is given back by the
  // next entry point, which then gets the one port it asks for.
  void RetryAfterALateGrant() {
    const DWORD code = *GetParam().ignored;
    Driver().ClearFaults();
    CompleteIgnored();
    if (code == wire::kCreateEchoPort) {
      EXPECT_EQ(Returns("Init", [] { return Init(0); }), S_OK);
    } else {
      EXPECT_EQ(Returns("Register", [] { return Register(kService, &Reverse, nullptr); }), S_OK);
      EXPECT_TRUE(Driver().PortOf(kService).has_value());
    }
    EXPECT_EQ(TextsStartingWith("quorvel: port[").size(), 1u)
        << "the late port was not given back exactly once";
  }
};

}  // namespace

TEST_P(HeldRequest, IsCancelledAndNothingHangs) {
  const HeldCase& held = GetParam();
  // A failed Init that finds a service filed keeps the device open, where a
  // late echo port then lands: the heartbeat is lost and a service filed.
  const bool filedFirst = held.ignored == wire::kCreateEchoPort;
  if (filedFirst) {
    ASSERT_EQ(Init(0), S_OK);
    Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
    ExpectText("quorvel: echo quit.");
    Driver().ClearFaults();
    ASSERT_EQ(Register(kService, held.callback, nullptr), S_OK);
  }
  Driver().ClearRequestLog();
  Driver().DelayRequests(held.code, kHeld, kEveryRequest);
  // A reply held while its port stays allocated: the driver can still read
  // the answer when it finishes the reply after the worker gave up on it.
  if (held.ignored == wire::kReply && held.code != wire::kReply) {
    Driver().AlsoDelayRequests(wire::kReply, kHeld, kEveryRequest);
  }
  if (held.ignored) Driver().IgnoreCancellation(*held.ignored, kEveryRequest);
  ASSERT_EQ(Returns("Init", [] { return Init(0); }),
            held.code == wire::kCreateEchoPort ? E_FAIL : S_OK);
  if (!filedFirst) {
    ASSERT_EQ(Returns("Register", [&] { return Register(kService, held.callback, nullptr); }),
              held.registers ? S_OK : E_FAIL);
  }
  if (held.code == wire::kReply || held.ignored == wire::kReply) {
    Driver().Post(kService, 1, {1, 2, 3, 4, 5, 6});
  }
  if (held.code == wire::kEcho) {
    EXPECT_TRUE(Sink().WaitForText("quorvel: echo error.", kWaitMs))
        << "a ping left pending never failed the heartbeat";
    EXPECT_TRUE(WaitUntil([] { return !Driver().PortOf(kService).has_value(); }))
        << "the services were not torn down";
  }
  const DWORD awaited = held.code == wire::kFreePort ? held.ignored.value_or(0) : held.code;
  if (awaited != 0 && awaited != wire::kCloseEchoPort && awaited != wire::kFreePort) {
    ASSERT_TRUE(Driver().WaitForRequests(awaited, 1, kWait)) << "the request never came";
  }
  if (held.ignored == wire::kReceive) {
    // The stop must find every worker's receive pending, or there is none to give up.
    ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait))
        << "awaited 3 pending receives; seen: " << Driver().DescribeRequests(wire::kReceive);
  }
  const bool grants = held.code == wire::kAllocatePort || held.code == wire::kCreateEchoPort;
  if (held.ignored && grants) RetryAfterALateGrant();
  if (held.ignored && SentByALibraryThread(*held.ignored)) {
    UnInitWhileAThreadIsHeld();
  } else {
    Returns("UnInit", [] { UnInit(); });
  }
  const auto requests = RequestsOf(held.code);
  ASSERT_FALSE(requests.empty()) << "the driver saw no request of the code";
  EXPECT_TRUE(requests[0].pended) << "the fault never fired";
  if (!held.ignored) {
    EXPECT_EQ(requests[0].status.value_or(0), qrv::posix::kStatusCancelled);
  } else {
    char line[96];
    std::snprintf(line, sizeof(line), "%s%x",
                  "quorvel: request abandoned, the driver ignored its cancellation; control code ",
                  static_cast<unsigned>(*held.ignored));
    ExpectText(line);
    if (!grants && !SentByALibraryThread(*held.ignored)) CompleteIgnored();
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
// cancelled) there, as it is where a late reply must find its port. The driver completes each
// abandoned request only when the row says so: into the kept answer blocks (ASan watches them), or
// with a port the next entry point must give back.
INSTANTIATE_TEST_SUITE_P(
    IgnoringCancel, HeldRequest,
    ::testing::Values(
        HeldCase{"Ping", wire::kEcho, true, wire::kEcho},
        HeldCase{"Bind", wire::kBindThread, true, wire::kBindThread},
        HeldCase{"Reply", wire::kReply, true, wire::kReply},
        HeldCase{"ReplyInsideABlock", wire::kFreePort, true, wire::kReply, &AnswerInsideABlock},
        HeldCase{"ReplyWithTheMessage", wire::kFreePort, true, wire::kReply, &AnswerWithTheMessage},
        HeldCase{"AllocatePort", wire::kAllocatePort, false, wire::kAllocatePort},
        HeldCase{"CreateEchoPort", wire::kCreateEchoPort, false, wire::kCreateEchoPort},
        HeldCase{"FreePort", wire::kFreePort, true, wire::kFreePort},
        HeldCase{"CloseEchoPort", wire::kCloseEchoPort, true, wire::kCloseEchoPort},
        HeldCase{"Receive", wire::kFreePort, true, wire::kReceive}),
    NameOf);

}  // namespace qrv
