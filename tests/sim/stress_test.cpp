// Many client threads on one handle: every message ends exactly once, and
// every reply reaches the message its slot received.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

#include "sim/driver/wire_tables.h"
#include "tests/sim/driver_fixture.h"

namespace qrv {
namespace sim {
namespace test {
namespace {

constexpr uint32_t kServices = 3;
constexpr uint32_t kThreadsPerService = 16;
constexpr int kPosters = 2;
constexpr int kMessagesPerPoster = 300;

// Issues the receive and waits for it; false on any failure. A slot may
// idle for the whole test (the lowest idle receive takes each message), so
// only the port's freeing bounds the wait: kTimeout after `freed` is set.
bool Complete(PendingReceive& receive, const std::atomic<bool>& freed) {
  if (receive.Issue()) return true;
  if (receive.error() != ERROR_IO_PENDING) return false;
  for (;;) {
    const bool last = freed.load();
    if (receive.Wait(kTimeout)) return receive.Result();
    if (last) {
      ADD_FAILURE() << "awaited a receive's end after its port was freed; seen: still pending";
      return false;
    }
  }
}

bool Ended(DWORD error) { return error == ERROR_OPERATION_ABORTED || error == ERROR_BAD_COMMAND; }

// Serves one slot like a worker: receive (again into a larger block when
// too small), answer with the payload reversed, until the port is freed.
void Serve(HANDLE device, uint32_t port, const std::atomic<bool>* freed,
           std::atomic<int>* failures) {
  const Answer bind = Request(device, wire::kBindThread, Words({port}));
  if (!bind.ok) {
    failures->fetch_add(1);
    return;
  }
  PendingReceive small(device, port, bind.word, wire::kOrdinaryReceiveSize);
  for (;;) {
    PendingReceive* got = &small;
    std::unique_ptr<PendingReceive> large;
    bool ok = Complete(small, *freed);
    if (!ok && small.error() == ERROR_INSUFFICIENT_BUFFER) {
      large = std::make_unique<PendingReceive>(device, port, bind.word, small.Word(0), 1);
      ok = Complete(*large, *freed);
      got = large.get();
    }
    if (!ok) {
      if (!Ended(got->error())) failures->fetch_add(1);
      return;
    }
    if (got->Word(wire::kMessageHeader) == 0) continue;
    std::vector<uint8_t> answer = got->Payload();
    std::reverse(answer.begin(), answer.end());
    if (!SendReply(device, port, bind.word, answer.data(), static_cast<DWORD>(answer.size())).ok)
      failures->fetch_add(1);
  }
}

using StressTest = DriverTest;

TEST_F(StressTest, EveryMessageEndsOnceWithItsOwnReply) {
  std::vector<uint32_t> ports;
  for (uint32_t service = 0; service < kServices; ++service) {
    Answer port = client_->AllocatePort(service, kThreadsPerService);
    ASSERT_TRUE(port.ok);
    ports.push_back(port.word);
  }
  std::atomic<int> failures{0};
  std::atomic<bool> freed{false};
  std::vector<std::thread> workers;
  for (uint32_t port : ports) {
    for (uint32_t i = 0; i < kThreadsPerService; ++i)
      workers.emplace_back(Serve, client_->handle(), port, &freed, &failures);
  }
  std::vector<std::vector<std::shared_ptr<Message>>> posted(kPosters);
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kMessagesPerPoster; ++i) {
        const uint32_t header = i % 4 == 0 ? 0 : static_cast<uint32_t>(i + 1);
        std::vector<uint8_t> payload((i * 37 + p) % 1500 + 1);
        for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<uint8_t>(k * 7 + i);
        posted[p].push_back(driver().Post(i % kServices, header, std::move(payload)));
      }
    });
  }
  for (std::thread& poster : posters) poster.join();

  for (const auto& messages : posted) {
    for (const std::shared_ptr<Message>& message : messages) {
      ASSERT_TRUE(message->WaitFinal(kTimeout))
          << "message " << message->id() << " stuck " << OutcomeName(message->outcome());
      if (message->header() == 0) {
        EXPECT_EQ(message->outcome(), Outcome::kNotWanted);
        continue;
      }
      ASSERT_EQ(message->outcome(), Outcome::kAnswered);
      std::vector<uint8_t> expected = message->payload();
      std::reverse(expected.begin(), expected.end());
      EXPECT_EQ(message->reply(), expected) << "reply matched to the wrong message";
    }
  }
  freed = true;
  for (uint32_t port : ports) client_->FreePort(port);
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(failures.load(), 0);
  const Counters delta = Delta();
  EXPECT_EQ(delta.posted, static_cast<uint64_t>(kPosters * kMessagesPerPoster));
  EXPECT_EQ(delta.posted, delta.answered + delta.notWanted);
  EXPECT_EQ(delta.failedBack, 0u);
  EXPECT_EQ(delta.inFlight, 0u);
}

}  // namespace
}  // namespace test
}  // namespace sim
}  // namespace qrv
