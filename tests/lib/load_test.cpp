// Every port the driver has beside the echo port, serving at once under load,
// and nothing lost when the library stops in the middle of it.
#include <cstring>
#include <random>
#include <thread>

#include "library_fixture.h"

namespace qrv {

namespace {

using qrv::sim::Message;
using qrv::sim::Outcome;

constexpr uint32_t kServices = QUORVEL_MAX_RUNNING_SERVICES;
constexpr int kMessagesPerService = 60;

// Posts a service's share of messages of mixed sizes: small ones, ones just
// over the 1024-byte buffer, and large ones; one in eight wants no reply.
std::vector<std::shared_ptr<Message>> PostMixed(uint32_t serviceId) {
  std::minstd_rand random(serviceId + 1);
  std::vector<std::shared_ptr<Message>> posted;
  for (int i = 0; i < kMessagesPerService; ++i) {
    static const uint32_t kSizes[] = {0, 1, 100, 1020, 1021, 2000, 9000, 40000};
    std::vector<uint8_t> payload(kSizes[random() % 8]);
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
    const uint32_t header = random() % 8 == 0 ? 0 : static_cast<uint32_t>(i + 1);
    posted.push_back(qrv::sim::SimDriver::Instance().Post(serviceId, header, std::move(payload)));
  }
  return posted;
}

}  // namespace

using Load = LibraryTest;

TEST_F(Load, FifteenServicesUnderLoadThenUnInitLosesNothing) {
  ASSERT_EQ(Init(0), S_OK);
  for (uint32_t id = 0; id < kServices; ++id)
    ASSERT_EQ(Register(id, &AnswerWithPayload, nullptr), S_OK);
  // The echo port and fifteen service ports take all sixteen; a second try
  // starts a new connection and fails the same way.
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_EQ(Register(kServices, &AnswerWithPayload, nullptr), E_FAIL) << "attempt " << attempt;
  EXPECT_EQ(Sink().CountText("quorvel-Register( 15 ): start working unsuccessfully."), 2);

  std::vector<std::vector<std::shared_ptr<Message>>> posted(kServices);
  std::vector<std::thread> senders;
  for (uint32_t id = 0; id < kServices; ++id) {
    senders.emplace_back([&posted, id] { posted[id] = PostMixed(id); });
  }
  for (auto& sender : senders) sender.join();
  // Stop in the middle of the traffic: a third of it has ended.
  const uint64_t total = kServices * kMessagesPerService;
  uint64_t ended = 0;
  ASSERT_TRUE(Driver().WaitForFinals(total / 3, kWait, &ended))
      << "awaited " << total / 3 << " messages final; " << ended << " were, none more for "
      << kWaitMs << " ms";
  UnInit();

  for (const auto& service : posted) {
    for (const auto& message : service) {
      ASSERT_TRUE(message->IsFinal())
          << "message " << message->id() << " left " << qrv::sim::OutcomeName(message->outcome());
      if (message->outcome() == Outcome::kAnswered) {
        EXPECT_EQ(message->reply(), message->payload());
      }
      if (message->header() == 0) {
        EXPECT_NE(message->outcome(), Outcome::kAnswered);
      }
    }
  }
  const auto counters = Driver().counters();
  EXPECT_EQ(counters.inFlight, 0u);
  EXPECT_EQ(counters.posted, total);
  EXPECT_EQ(counters.posted, counters.answered + counters.notWanted + counters.failedBack);
  EXPECT_GT(counters.tooSmallReports, 0u);
  EXPECT_EQ(Sink().CountText("quorvel-UnInit: ok."), 1);
}

}  // namespace qrv
