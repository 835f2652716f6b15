// Randomized lifecycle stress through the shipped QUORVEL.DLL against the
// reference driver: host threads call the four entry points at random while
// a poster sends messages to whatever service holds a port and an injector
// arms the driver's faults (lost pings, refused ports, failed receives and
// replies). Real critical sections, real overlapped completion, handle
// values reused at once, and strict handle checks on the library's imports.
// After every round's UnInit each message has ended exactly once, answered
// ones with their own bytes, and no null handle reached a handle call.
//
// Environment: QRV_STRESS_SEED (default: from the clock) and
// QRV_STRESS_OPERATIONS (entry-point calls; default 300, the CI setting; a
// long run by hand: QRV_STRESS_OPERATIONS=10000). The seed is printed first
// and named by every failure; the same seed replays the same choices on
// every thread (the interleaving itself is the scheduler's).
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/host_fixture.h"
#include "host/strict_handles.h"

namespace qrv {
namespace wintest {
namespace {

constexpr int kHosts = 3;
// At most one fresh context per call of a round, and the host side tracks 64
// contexts at a time.
constexpr int kOperationsPerRound = 60;
constexpr DWORD kRoundLimitMs = 60000;
constexpr DWORD kPaceMs = 2;

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 0) : fallback;
}

class Stress : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string reason;
    ASSERT_TRUE(UseStrictHandleChecks(GetModuleHandleA(kLibraryName), &reason)) << reason;
  }

  std::mt19937_64 Random(int stream) const {
    return std::mt19937_64(seed_ ^ (round_ * 1000 + stream) * 0x9E3779B97F4A7C15ull);
  }

  void RunRound(int operations);
  void HostCalls(std::mt19937_64 random);
  void PostMessages(std::mt19937_64 random);
  void InjectFaults(std::mt19937_64 random);
  void DisarmFaults();
  void CheckMessages();

  uint64_t seed_ = 0;
  uint64_t round_ = 0;
  // A fresh context for every Register of the round, released after the
  // round's UnInit: the callback contract check keys on thread ids, which
  // Windows recycles once a worker has ended, so a context must not serve
  // two connections.
  std::vector<std::unique_ptr<HostService>> contexts_;
  std::atomic<size_t> nextContext_{0};
  std::atomic<int> operationsLeft_{0};
  std::atomic<bool> hostsDone_{false};
  std::map<uint32_t, std::pair<uint32_t, std::vector<uint8_t>>> posted_;  // poster thread only
  std::atomic<uint64_t> calls_{0};
};

DWORD WINAPI RunBody(LPVOID body) {
  (*static_cast<std::function<void()>*>(body))();
  return 0;
}

HANDLE Spawn(std::function<void()>* body) {
  return CreateThread(nullptr, 0, &RunBody, body, 0, nullptr);
}

void Stress::HostCalls(std::mt19937_64 random) {
  while (operationsLeft_.fetch_sub(1) > 0) {
    const auto id = static_cast<uint32_t>(random() % QUORVEL_MAX_SERVICES);
    const unsigned choice = random() % 100;
    int32_t result = QUORVEL_OK;
    if (choice < 45) {
      result = Register(id, *contexts_[nextContext_++]);
    } else if (choice < 70) {
      result = Unregister(id);
    } else if (choice < 95) {
      result = Init();
    } else {
      UnInit();
    }
    EXPECT_TRUE(result == QUORVEL_OK || result == QUORVEL_E_FAIL) << result;
    ++calls_;
    Sleep(kPaceMs);  // pacing: lets registrations live long enough to serve traffic
  }
}

void Stress::PostMessages(std::mt19937_64 random) {
  while (!hostsDone_) {
    const auto id = static_cast<uint32_t>(random() % QUORVEL_MAX_SERVICES);
    const uint32_t header = random() % 8 == 0 ? 0 : 1;
    std::vector<uint8_t> payload(random() % 3000);
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
    uint32_t message = 0;
    if (TryPost(id, header, payload, &message) == ERROR_SUCCESS) {
      posted_[message] = {header, std::move(payload)};
    } else {
      Sleep(kPaceMs);  // pacing while no service holds a port, not a wait for anything
    }
  }
}

void Stress::InjectFaults(std::mt19937_64 random) {
  while (!hostsDone_) {
    switch (random() % 4) {
      case 0:
        Arm(QRVCTL_FAULT_PING_STATUS, 0, 1, kStatusInvalidDeviceState);
        break;
      case 1:
        Arm(QRVCTL_FAULT_PORT_ANSWER, 0, 1, 16);
        break;
      case 2:
        Arm(QRVCTL_FAULT_RECEIVE_STATUS, static_cast<uint32_t>(random() % 8), 1,
            kStatusInvalidDeviceState);
        break;
      default:
        Arm(QRVCTL_FAULT_REPLY_STATUS, static_cast<uint32_t>(random() % 8), 1,
            kStatusInvalidDeviceState);
    }
    Sleep(20 * kPaceMs);  // pacing between faults
  }
}

void Stress::DisarmFaults() {
  for (uint32_t kind : {QRVCTL_FAULT_PING_STATUS, QRVCTL_FAULT_PORT_ANSWER,
                        QRVCTL_FAULT_RECEIVE_STATUS, QRVCTL_FAULT_REPLY_STATUS}) {
    Arm(kind, 0, 0, 0);
  }
}

void Stress::RunRound(int operations) {
  RestartWatchdog(kRoundLimitMs);
  operationsLeft_ = operations;
  hostsDone_ = false;
  nextContext_ = 0;
  for (int i = 0; i < operations; ++i) contexts_.push_back(std::make_unique<HostService>());
  EXPECT_EQ(Init(), QUORVEL_OK);
  std::vector<std::function<void()>> bodies;
  for (int slot = 0; slot < kHosts; ++slot) {
    bodies.emplace_back([this, random = Random(slot)] { HostCalls(random); });
  }
  bodies.emplace_back([this, random = Random(100)] { PostMessages(random); });
  bodies.emplace_back([this, random = Random(200)] { InjectFaults(random); });
  std::vector<HANDLE> threads;
  for (auto& body : bodies) threads.push_back(Spawn(&body));
  ASSERT_EQ(WaitForMultipleObjects(kHosts, threads.data(), TRUE, kRoundLimitMs), WAIT_OBJECT_0)
      << "host threads did not finish";
  hostsDone_ = true;
  ASSERT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                   kRoundLimitMs),
            WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  DisarmFaults();
  UnInit();
  CheckMessages();
  for (const auto& context : contexts_) {
    EXPECT_TRUE(context->Violations().empty()) << context->Violations().front();
  }
  contexts_.clear();
}

// After UnInit every message is final: answered (with its own bytes, as the
// services echo them back), not wanted (Header 0), or failed back.
void Stress::CheckMessages() {
  for (const auto& [message, sent] : posted_) {
    const MessageOutcome outcome = AwaitOutcome(message);
    if (outcome.record.state == QRVCTL_MSG_ANSWERED) {
      EXPECT_NE(sent.first, 0u) << "message " << message << " answered although Header was 0";
      EXPECT_EQ(outcome.reply, sent.second) << "message " << message << " answered wrongly";
    } else if (outcome.record.state == QRVCTL_MSG_NOT_WANTED) {
      EXPECT_EQ(sent.first, 0u) << "message " << message;
    } else {
      EXPECT_EQ(outcome.record.state, static_cast<uint32_t>(QRVCTL_MSG_FAILED_BACK))
          << "message " << message;
    }
    // The driver keeps an outcome until its poster releases it; a long run
    // that kept them all would grow the driver host by every message's
    // payload and reply.
    MessageOutcome released;
    EXPECT_EQ(Control().Outcome(message, true, &released), static_cast<DWORD>(ERROR_SUCCESS))
        << "releasing message " << message;
  }
  posted_.clear();
  const QrvCtlCounters counters = Counters();
  EXPECT_EQ(counters.posted, counters.answered + counters.notWanted + counters.failedBack);
  EXPECT_EQ(InvalidHandleUses(), 0) << "a null handle reached a handle call";
}

TEST_F(Stress, RandomEntryPointsWithTrafficAndFaults) {
  seed_ = EnvOr("QRV_STRESS_SEED", GetTickCount64());
  const uint64_t operations = EnvOr("QRV_STRESS_OPERATIONS", 300);
  std::printf("lifecycle stress: QRV_STRESS_SEED=%llu QRV_STRESS_OPERATIONS=%llu\n",
              static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(operations));
  std::fflush(stdout);
  SCOPED_TRACE("QRV_STRESS_SEED=" + std::to_string(seed_));
  while (calls_ < operations && !HasFailure()) {
    RunRound(static_cast<int>(std::min<uint64_t>(kOperationsPerRound, operations - calls_)));
    ++round_;
  }
  const QrvCtlCounters counters = Counters();
  std::printf(
      "seed %llu: %llu entry-point calls in %llu rounds, %u messages posted (answered %u)\n",
      static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(calls_.load()),
      static_cast<unsigned long long>(round_), counters.posted, counters.answered);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
