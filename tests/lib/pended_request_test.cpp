// Synchronous requests that the driver answers pending: the library awaits
// each one, so it goes on exactly as if the driver had answered at once, and
// nothing the driver does at the late completion touches memory the library
// has let go (ASan watches the reply's answer block and the answer words).
#include <algorithm>

#include "library_fixture.h"

namespace wire = qrv::sim::wire;

namespace {

constexpr uint32_t kService = 6;
constexpr auto kDelay = std::chrono::milliseconds(100);

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
