// Randomized lifecycle stress: host threads call Init, UnInit, Register
// (sometimes with an invalid id or a null callback) and Unregister while
// posters send 0 to 64 KiB messages, with and without reply wanted, and a
// fault injector makes the simulated driver misbehave. After each round the
// last UnInit must leave nothing in flight and no library thread running,
// and every message must have ended exactly once with the right reply.
//
// Environment: QRV_STRESS_SEED (default: from the clock), QRV_STRESS_OPERATIONS
// (API calls, default 2000). The seed is printed at the start and with every
// failure; the same seed replays the same choices on every thread.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/exports.h"
#include "behaviours.h"
#include "fault_injector.h"
#include "framework/stand_in.h"
#include "platform/module_thread.h"
#include "sim/driver/sim_driver.h"
#include "watchdog.h"

namespace {

using qrv::sim::Message;
using qrv::sim::Outcome;
using qrv::sim::SimDriver;

constexpr int kHosts = 4;
constexpr int kPosters = 3;
constexpr int kCoordinator = kHosts;  // watchdog slot of the main thread
constexpr int kOperationsPerRound = 400;
constexpr int kPacesPerFault = 24;
constexpr size_t kWindow = 16;  // messages a poster keeps in flight
// How long a poster waits for its oldest message before it moves on; the
// posters thereby keep pace with the workers instead of filling queues
// that the next Unregister would only fail back.
constexpr auto kRetireWait = std::chrono::milliseconds(250);
constexpr auto kCallBound = std::chrono::seconds(60);

uint64_t EnvOr(const char* name, uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::strtoull(value, nullptr, 0) : fallback;
}

struct Totals {
  std::atomic<uint64_t> operations{0}, messages{0}, answered{0}, notWanted{0}, failedBack{0};
};

class Stress {
 public:
  explicit Stress(uint64_t seed) : seed_(seed), watchdog_(kCallBound, seed) {}

  void Run(uint64_t operations);
  void Report(double seconds) const;

 private:
  [[noreturn]] void Fail(const std::string& what) const;
  void RunRound();
  void Host(int slot, std::mt19937_64 random);
  void HostOperation(int slot, std::mt19937_64& random);
  void Poster(std::mt19937_64 random);
  void Injector(std::mt19937_64 random);
  static std::optional<uint32_t> PickService(std::mt19937_64& random);
  void Check(const Message& message);
  void CheckQuiet();
  std::mt19937_64 Random(int stream) const {
    return std::mt19937_64(seed_ ^ (round_ * 1000 + stream) * 0x9E3779B97F4A7C15ull);
  }
  // Lets traffic flow between two operations, so registrations live long
  // enough for delivery to be tested as hard as the accounting.
  static void Pace();

  const uint64_t seed_;
  Watchdog watchdog_;
  uint64_t round_ = 0;
  std::atomic<int> operationsLeft_{0};
  std::atomic<bool> hostsDone_{false};
  std::mutex unfinishedMu_;
  std::vector<std::shared_ptr<Message>> unfinished_;  // GUARDED_BY(unfinishedMu_)
  Totals totals_;
};

void Stress::Fail(const std::string& what) const {
  std::fprintf(stderr, "FAILED (seed %llu, round %llu): %s\n",
               static_cast<unsigned long long>(seed_), static_cast<unsigned long long>(round_),
               what.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

void Stress::Run(uint64_t operations) {
  while (totals_.operations < operations) {
    operationsLeft_ =
        static_cast<int>(std::min<uint64_t>(kOperationsPerRound, operations - totals_.operations));
    RunRound();
    ++round_;
  }
}

void Stress::RunRound() {
  hostsDone_ = false;
  {
    Watchdog::Call call(watchdog_, kCoordinator, "Init");
    Init(0);
  }
  std::vector<std::thread> hosts, others;
  for (int slot = 0; slot < kHosts; ++slot)
    hosts.emplace_back(&Stress::Host, this, slot, Random(slot));
  for (int i = 0; i < kPosters; ++i) others.emplace_back(&Stress::Poster, this, Random(100 + i));
  others.emplace_back(&Stress::Injector, this, Random(200));
  for (auto& thread : hosts) thread.join();
  hostsDone_ = true;
  for (auto& thread : others) thread.join();
  SimDriver::Instance().ClearFaults();
  {
    Watchdog::Call call(watchdog_, kCoordinator, "UnInit");
    UnInit();
  }
  CheckQuiet();
  for (const auto& message : unfinished_) Check(*message);
  unfinished_.clear();
  SimDriver::Instance().ClearRequestLog();
}

void Stress::Host(int slot, std::mt19937_64 random) {
  while (operationsLeft_.fetch_sub(1) > 0) {
    HostOperation(slot, random);
    ++totals_.operations;
    Pace();
  }
}

void Stress::HostOperation(int slot, std::mt19937_64& random) {
  const uint32_t id = static_cast<uint32_t>(random() % QUORVEL_MAX_SERVICES);
  const uint32_t badId = QUORVEL_MAX_SERVICES +
                         static_cast<uint32_t>(random() % (0x100000000ull - QUORVEL_MAX_SERVICES));
  const unsigned choice = random() % 100;
  HRESULT result = S_OK;
  bool mustFail = false;
  {
    Watchdog::Call call(watchdog_, slot, "an entry point");
    if (choice < 50) {
      result = Register(id, &StressCallback, nullptr);
    } else if (choice < 53) {
      result = Register(badId, &StressCallback, nullptr), mustFail = true;
    } else if (choice < 56) {
      result = Register(id, nullptr, nullptr), mustFail = true;
    } else if (choice < 74) {
      result = Unregister(id);
    } else if (choice < 76) {
      result = Unregister(badId), mustFail = true;
    } else if (choice < 99) {
      result = Init(0);
    } else {
      UnInit();
    }
  }
  if (result != S_OK && result != E_FAIL) Fail("an entry point returned " + std::to_string(result));
  if (mustFail && result != E_FAIL) Fail("an invalid id or null callback was accepted");
}

void Stress::Poster(std::mt19937_64 random) {
  std::deque<std::shared_ptr<Message>> window;
  auto retire = [&] {
    if (window.front()->WaitFinal(kRetireWait)) {
      Check(*window.front());
    } else {
      std::lock_guard<std::mutex> hold(unfinishedMu_);
      unfinished_.push_back(window.front());
    }
    window.pop_front();
  };
  while (!hostsDone_) {
    const unsigned band = random() % 20;
    const size_t size = band < 12   ? random() % 1021
                        : band < 17 ? 1021 + random() % 7172
                                    : random() % 65537;
    const auto behaviour = static_cast<Behaviour>(
        random() % 400 == 0 ? uint8_t(Behaviour::kThrow) : random() % uint8_t(Behaviour::kThrow));
    const uint32_t header =
        random() % 8 == 0 ? 0 : 1 + static_cast<uint32_t>(random() % 0xFFFFFFFEu);
    // Messages for a service without a port are failed back at once; while
    // none holds one, most posts wait instead, so that they do not crowd out
    // the messages that are delivered.
    std::optional<uint32_t> service = PickService(random);
    if (!service && random() % 8 != 0) {
      Pace();
      continue;
    }
    window.push_back(SimDriver::Instance().Post(
        service.value_or(static_cast<uint32_t>(random() % QUORVEL_MAX_SERVICES)), header,
        MakePayload(behaviour, size, random)));
    ++totals_.messages;
    if (window.size() >= kWindow) retire();
  }
  while (!window.empty()) retire();
}

// A service that holds a port, or none after a few tries.
std::optional<uint32_t> Stress::PickService(std::mt19937_64& random) {
  for (int tries = 0; tries < 16; ++tries) {
    const auto id = static_cast<uint32_t>(random() % QUORVEL_MAX_SERVICES);
    if (SimDriver::Instance().PortOf(id)) return id;
  }
  return std::nullopt;
}

void Stress::Injector(std::mt19937_64 random) {
  while (!hostsDone_) {
    InjectRandomFault(random);
    for (int i = 0; i < kPacesPerFault && !hostsDone_; ++i) Pace();
  }
}

void Stress::Pace() {
  const auto delivered = [](const qrv::sim::Counters& c) { return c.answered + c.notWanted; };
  const uint64_t before = delivered(SimDriver::Instance().counters());
  SimDriver::Instance().WaitUntil(
      [&](const qrv::sim::Counters& c) { return delivered(c) >= before + 4; },
      std::chrono::milliseconds(10));
}

void Stress::Check(const Message& message) {
  const Outcome outcome = message.outcome();
  const std::string which = "message " + std::to_string(message.id()) + " ";
  switch (outcome) {
    case Outcome::kAnswered:
      ++totals_.answered;
      if (message.header() == 0) Fail(which + "answered although Header was 0");
      if (BehaviourOf(message.payload()) == Behaviour::kThrow)
        Fail(which + "answered although its callback threw");
      if (message.reply() != ExpectedReply(message.payload()))
        Fail(which + "answered with bytes the callback did not give (behaviour " +
             std::to_string(int(BehaviourOf(message.payload()))) + ", payload " +
             std::to_string(message.payload().size()) + " bytes, reply " +
             std::to_string(message.reply().size()) + " bytes)");
      return;
    case Outcome::kNotWanted:
      ++totals_.notWanted;
      if (message.header() != 0) Fail(which + "not wanted although Header was not 0");
      return;
    case Outcome::kFailedBack:
      ++totals_.failedBack;
      return;
    default:
      Fail(which + "left " + qrv::sim::OutcomeName(outcome) + " after UnInit");
  }
}

void Stress::CheckQuiet() {
  const qrv::sim::Counters c = SimDriver::Instance().counters();
  if (c.inFlight != 0) Fail(std::to_string(c.inFlight) + " messages in flight after UnInit");
  if (c.posted != c.answered + c.notWanted + c.failedBack)
    Fail("posted != answered + not wanted + failed back");
  if (qrv::RunningModuleThreads() != 0)
    Fail(std::to_string(qrv::RunningModuleThreads()) + " library threads run after UnInit");
}

void Stress::Report(double seconds) const {
  const uint64_t messages = totals_.messages, delivered = totals_.answered + totals_.notWanted;
  std::printf(
      "seed %llu: %llu operations in %llu rounds, %llu messages (answered %llu, not wanted %llu, "
      "failed back %llu; delivered %.1f%%) in %.1f s\n",
      static_cast<unsigned long long>(seed_),
      static_cast<unsigned long long>(totals_.operations.load()),
      static_cast<unsigned long long>(round_), static_cast<unsigned long long>(messages),
      static_cast<unsigned long long>(totals_.answered.load()),
      static_cast<unsigned long long>(totals_.notWanted.load()),
      static_cast<unsigned long long>(totals_.failedBack.load()),
      messages == 0 ? 0.0 : 100.0 * static_cast<double>(delivered) / static_cast<double>(messages),
      seconds);
}

}  // namespace

int main() {
  const uint64_t seed =
      EnvOr("QRV_STRESS_SEED",
            static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  const uint64_t operations = EnvOr("QRV_STRESS_OPERATIONS", 2000);
  std::printf("lifecycle stress: QRV_STRESS_SEED=%llu QRV_STRESS_OPERATIONS=%llu\n",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(operations));
  std::fflush(stdout);
  SimDriver::Instance().Attach();
  auto standIn = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull);
  if (standIn == nullptr) return 1;
  standIn->StayLoaded();
  const auto start = std::chrono::steady_clock::now();
  Stress stress(seed);
  stress.Run(operations);
  stress.Report(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return 0;
}
