// Driver answers that break the protocol: the worker never reads or writes
// outside its buffers, never hands a callback a wrapped length, and gives up
// as on a lost connection instead of looping.
#include <atomic>
#include <chrono>
#include <thread>

#include "connection/worker.h"
#include "service_fixture.h"

namespace qrv {

namespace {

using qrv::sim::HostileSize;

class HostileDriver : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    behaviour_.onMessage = [this](const CallbackCall&) { callbacks_++; };
  }

  // The worker on slot 0 gives up on a message aimed at it.
  void ExpectSlotZeroGivesUp(std::vector<uint8_t> payload) {
    Driver().Post(kService, 1, std::move(payload), 0u);
    ExpectText("quorvel: connection disconnected. service[4] port[0] thread[0]");
    ExpectText("quorvel: service[4] port[0] thread[0] quit.");
    EXPECT_EQ(callbacks_, 0);
  }

  std::atomic<int> callbacks_{0};
};

}  // namespace

TEST_F(HostileDriver, TooSmallReportBelowTheHeaderSize) {
  StartService();
  Driver().ReportHostileSizes(1, HostileSize::kBelowHeader);
  ExpectSlotZeroGivesUp(Bytes(2000, 1));
}

TEST_F(HostileDriver, TooSmallReportNoLargerThanTheBuffer) {
  StartService();
  Driver().ReportHostileSizes(1, HostileSize::kNoLarger);
  ExpectSlotZeroGivesUp(Bytes(2000, 1));
}

// A size word beyond the limit (stale or garbled): no block that large is
// ever asked of the heap.
TEST_F(HostileDriver, TooSmallReportBeyondTheSizeLimit) {
  StartService();
  Driver().ReportSizes(1, Worker::kMaxMessageSize + 1);
  ExpectSlotZeroGivesUp(Bytes(2000, 1));
  EXPECT_EQ(heap_.largest, kReceiveBufferSize);
}

TEST_F(HostileDriver, CompletionShorterThanTheHeader) {
  StartService();
  Driver().ShortCompletions(1, 2);
  ExpectSlotZeroGivesUp(Bytes(10, 1));
}

TEST_F(HostileDriver, CompletionLargerThanTheBuffer) {
  StartService();
  Driver().InflateCompletions(1, 16);
  ExpectSlotZeroGivesUp(Bytes(10, 1));
}

TEST_F(HostileDriver, OtherWorkersGoOnAfterOneGaveUp) {
  StartService();
  Driver().ShortCompletions(1, 0);
  ExpectSlotZeroGivesUp(Bytes(10, 1));
  EXPECT_EQ(Exchange(1, Bytes(10, 2))->outcome(), qrv::sim::Outcome::kAnswered);
}

TEST_F(HostileDriver, RefusedOversizedBlockGivesUpAndNeverHoldsStop) {
  heap_.refuseFrom = kReceiveBufferSize + 1;
  StartService();
  const int before = heap_.allocations;
  Driver().Post(kService, 1, Bytes(5000, 1), 0u);
  // The worker retries the refused block every 10 ms; stop it meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (heap_.allocations - before < 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker never asked for the block";
    std::this_thread::yield();
  }
  StopService();
  ExpectText("quorvel: connection disconnected. service[4] port[0] thread[0]");
  EXPECT_EQ(callbacks_, 0);
}

TEST_F(HostileDriver, RefusedOversizedBlockGivesUpByItself) {
  heap_.refuseFrom = kReceiveBufferSize + 1;
  StartService();
  ExpectSlotZeroGivesUp(Bytes(5000, 1));
  EXPECT_GT(heap_.allocations, 3 + 1);
}

}  // namespace qrv
