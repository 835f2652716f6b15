// A heartbeat that fails while UnInit stops the connections must never
// deadlock: the echo thread's teardown wants the process-wide lock that
// UnInit holds while it waits for the echo thread. The simulated driver
// holds the failing ping until the chosen request of UnInit arrives, which
// forces each interleaving on every iteration.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "library_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

constexpr int kIterations = 1000;
constexpr auto kIterationLimit = std::chrono::seconds(30);

void WINAPI NoAnswer(NIMUC::IAllocator*, void*, uint32_t, void*, void**, uint32_t*) {}

// Holds every ping until `releaseCode` has been requested in this round.
class PingGate {
 public:
  explicit PingGate(DWORD releaseCode) : releaseCode_(releaseCode) {}

  void OnRequest(DWORD code) {
    std::unique_lock<std::mutex> lock(mu_);
    if (code == releaseCode_) {
      released_ = true;
      cv_.notify_all();
    } else if (code == wire::kEcho) {
      held_ = true;
      cv_.notify_all();
      if (!cv_.wait_for(lock, kIterationLimit, [this] { return released_; })) timedOut_ = true;
    }
  }
  void NextRound() {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = false;
    held_ = false;
  }
  // Until this round's ping is held.
  bool WaitForHeldPing() {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kIterationLimit, [this] { return held_; });
  }
  bool TimedOut() {
    std::lock_guard<std::mutex> lock(mu_);
    return timedOut_;
  }

 private:
  const DWORD releaseCode_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool released_ = false;
  bool held_ = false;
  bool timedOut_ = false;
};

// Aborts the process with a message when an iteration takes too long: a
// deadlock cannot be unwound, only reported.
class Watchdog {
 public:
  Watchdog() : thread_([this] { Watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Progress(int iteration) {
    std::lock_guard<std::mutex> lock(mu_);
    iteration_ = iteration;
    cv_.notify_all();
  }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!done_) {
      int seen = iteration_;
      if (!cv_.wait_for(lock, kIterationLimit, [&] { return done_ || iteration_ != seen; })) {
        std::fprintf(stderr, "deadlock: iteration %d did not finish\n", seen);
        std::abort();
      }
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  int iteration_ = 0;
  bool done_ = false;
  std::thread thread_;
};

class HeartbeatRace : public LibraryTest {
 protected:
  // One round: a ping held until `releaseCode` arrives, failing then, while
  // UnInit stops a registered service and the echo connection.
  void Run(DWORD releaseCode) {
    PingGate gate(releaseCode);
    Driver().SetRequestHook(
        [&gate](DWORD code, const std::vector<uint8_t>&) { gate.OnRequest(code); });
    Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
    Watchdog watchdog;
    for (int i = 0; i < kIterations; ++i) {
      gate.NextRound();
      ASSERT_EQ(Init(0), S_OK);
      ASSERT_EQ(Register(1, &NoAnswer, nullptr), S_OK);
      // The round's ping is held in the driver before UnInit begins.
      ASSERT_TRUE(gate.WaitForHeldPing()) << "no ping in round " << i;
      UnInit();
      watchdog.Progress(i + 1);
    }
    Driver().SetRequestHook(nullptr);
    EXPECT_FALSE(gate.TimedOut());
    EXPECT_EQ(Sink().CountText("quorvel: echo error."), kIterations);
    EXPECT_EQ(Sink().CountText("quorvel: echo quit."), kIterations);
    EXPECT_EQ(Sink().CountText("quorvel-UnInit: ok."), kIterations);
  }
};

}  // namespace

TEST_F(HeartbeatRace, PingFailsWhileUnInitStopsTheServices) { Run(wire::kFreePort); }

TEST_F(HeartbeatRace, PingFailsAfterTheCloseRequest) { Run(wire::kCloseEchoPort); }

}  // namespace qrv
