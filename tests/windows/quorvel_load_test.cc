// Every port the reference driver has beside the echo port, serving at once
// under load through the shipped QUORVEL.DLL, and nothing lost when UnInit
// stops in the middle of it.
#include <cstdint>
#include <cstdio>
#include <random>

#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

constexpr uint32_t kServices = 15;
constexpr int kMessagesPerService = 60;

struct Posted {
  uint32_t id;
  uint32_t header;
  std::vector<uint8_t> payload;
};

// One service's share of the traffic, posted from a thread of its own.
struct Sender {
  KernelDriverControl* control;
  uint32_t serviceId;
  std::vector<Posted> posted;
  DWORD error = ERROR_SUCCESS;
};

// Mixed sizes: small messages, ones just over the 1024-byte buffer, and
// large ones; one in eight wants no reply.
DWORD WINAPI PostMixed(LPVOID parameter) {
  auto* sender = static_cast<Sender*>(parameter);
  std::minstd_rand random(sender->serviceId + 1);
  static const uint32_t kSizes[] = {0, 1, 100, 1020, 1021, 2000, 9000, 40000};
  for (int i = 0; i < kMessagesPerService; ++i) {
    Posted message{0, 0, std::vector<uint8_t>(kSizes[random() % 8])};
    for (uint8_t& byte : message.payload) byte = static_cast<uint8_t>(random());
    message.header = random() % 8 == 0 ? 0 : static_cast<uint32_t>(i + 1);
    DWORD error = sender->control->Post(sender->serviceId, message.header, message.payload.data(),
                                        static_cast<uint32_t>(message.payload.size()),
                                        QRVCTL_ANY_SLOT, &message.id);
    if (error != ERROR_SUCCESS) {
      sender->error = error;
      return 1;
    }
    sender->posted.push_back(std::move(message));
  }
  return 0;
}

using Load = HostTest;

TEST_F(Load, FifteenServicesUnderLoadThenUnInitLosesNothing) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  for (uint32_t id = 0; id < kServices; ++id) ASSERT_EQ(Register(id, service), QUORVEL_OK) << id;
  // The echo port and fifteen service ports take all sixteen; a second try
  // starts a new connection and fails the same way.
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_EQ(Register(kServices, service), QUORVEL_E_FAIL) << "attempt " << attempt;
  EXPECT_EQ(CountText("quorvel: allocate port for service[15] failed."), 2);
  EXPECT_EQ(CountText("quorvel-Register( 15 ): start working unsuccessfully."), 2);
  const QrvCtlCounters before = Counters();

  std::vector<Sender> senders(kServices);
  std::vector<Handle> threads;
  for (uint32_t id = 0; id < kServices; ++id) {
    senders[id].control = &Control();
    senders[id].serviceId = id;
    threads.emplace_back(CreateThread(nullptr, 0, &PostMixed, &senders[id], 0, nullptr));
    ASSERT_TRUE(threads.back().valid());
  }
  for (Handle& thread : threads) {
    ASSERT_EQ(WaitForSingleObject(thread.get(), kWaitMs), static_cast<DWORD>(WAIT_OBJECT_0))
        << "posting took longer than " << kWaitMs << " ms";
  }
  for (const Sender& sender : senders)
    ASSERT_EQ(sender.error, static_cast<DWORD>(ERROR_SUCCESS)) << "service " << sender.serviceId;

  // Stop in the middle of the traffic: a third of it has been taken.
  const uint32_t total = kServices * kMessagesPerService;
  ASSERT_TRUE(WaitUntil([&] {
    QrvCtlCounters now = Counters();
    return (now.answered - before.answered) + (now.notWanted - before.notWanted) >= total / 3;
  })) << "a third of the traffic was not served within "
      << kWaitMs << " ms";
  UnInit();

  int answered = 0;
  for (const Sender& sender : senders) {
    for (const Posted& message : sender.posted) {
      MessageOutcome outcome;
      ASSERT_EQ(Control().Outcome(message.id, true, &outcome), static_cast<DWORD>(ERROR_SUCCESS));
      ASSERT_TRUE(outcome.Final()) << "message " << message.id << " of service " << sender.serviceId
                                   << " left in state " << outcome.record.state;
      if (outcome.record.state == QRVCTL_MSG_ANSWERED) {
        ++answered;
        EXPECT_EQ(outcome.reply, message.payload) << "message " << message.id;
      }
      if (message.header == 0) {
        EXPECT_NE(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
      }
    }
  }
  const QrvCtlCounters after = Counters();
  const uint32_t posted = after.posted - before.posted;
  EXPECT_EQ(posted, total);
  EXPECT_EQ(posted, (after.answered - before.answered) + (after.notWanted - before.notWanted) +
                        (after.failedBack - before.failedBack));
  EXPECT_EQ(after.answered - before.answered, static_cast<uint32_t>(answered));
  EXPECT_GT(after.tooSmallAtOnce + after.tooSmallCompleted, 0u);
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), 1);
  std::printf(
      "[ INFO     ] %u posted: %u answered, %u not wanted, %u failed back; %u too-small "
      "reports at once, %u through the completion\n",
      posted, after.answered - before.answered, after.notWanted - before.notWanted,
      after.failedBack - before.failedBack, after.tooSmallAtOnce, after.tooSmallCompleted);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
