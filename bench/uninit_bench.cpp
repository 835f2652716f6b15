// How long UnInit takes with fifteen services in the middle of their
// traffic, from the call to its return, beside one Sleep(10) measured the
// same way in the same run: the pause a worker makes between receive
// attempts, which a stop must not wait out.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "api/exports.h"
#include "bench_support.h"
#include "platform/win32.h"
#include "sim/driver/sim_driver.h"

namespace qrv {

namespace {

constexpr uint32_t kServices = 15;
constexpr int kRepetitions = 15;
// Messages kept in flight: enough that every worker has one in hand or
// queued when UnInit begins.
constexpr uint64_t kInFlight = 3 * kServices * 2;

// Posts to every service in turn until told to stop, keeping kInFlight
// messages outstanding.
class Traffic {
 public:
  Traffic() : thread_([this] { Post(); }) {}
  Traffic(const Traffic&) = delete;
  Traffic& operator=(const Traffic&) = delete;
  ~Traffic() {
    stop_ = true;
    thread_.join();
  }
  // Until every service has answered at least one message.
  bool WaitUntilBusy() {
    auto& driver = qrv::sim::SimDriver::Instance();
    const uint64_t answered = driver.counters().answered;
    return driver.WaitUntil(
        [&](const qrv::sim::Counters& c) { return c.answered >= answered + 2 * kServices; },
        std::chrono::seconds(10));
  }

 private:
  void Post() {
    auto& driver = qrv::sim::SimDriver::Instance();
    const std::vector<uint8_t> payload(100, 0x5A);
    for (uint32_t id = 0; !stop_; id = (id + 1) % kServices) {
      driver.WaitUntil([](const qrv::sim::Counters& c) { return c.inFlight < kInFlight; },
                       std::chrono::milliseconds(100));
      driver.Post(id, 1, payload);
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double SecondsOf(void (*call)()) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_UnInitWithFifteenBusyServices(benchmark::State& state) {
  for (auto _ : state) {
    if (!StartEchoServices(kServices)) {
      state.SkipWithError("services did not start");
      return;
    }
    Traffic traffic;
    if (!traffic.WaitUntilBusy()) {
      state.SkipWithError("no traffic");
      StopServices();
      return;
    }
    state.SetIterationTime(SecondsOf([] { UnInit(); }));
  }
  qrv::sim::SimDriver::Instance().ClearRequestLog();
}
BENCHMARK(BM_UnInitWithFifteenBusyServices)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

// UnInit of fifteen idle services against a driver whose free leaves the
// receives pending but honours their cancellation: the stops pay the grace
// once, then cancel at once.
void BM_UnInitWhenTheFreeKeepsReceives(benchmark::State& state) {
  for (auto _ : state) {
    if (!StartEchoServices(kServices)) {
      state.SkipWithError("services did not start");
      return;
    }
    qrv::sim::SimDriver::Instance().KeepReceivesOnFree(kServices + 1);
    state.SetIterationTime(SecondsOf([] { UnInit(); }));
  }
  qrv::sim::SimDriver::Instance().ClearFaults();
}
BENCHMARK(BM_UnInitWhenTheFreeKeepsReceives)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

void BM_SleepTenMilliseconds(benchmark::State& state) {
  for (auto _ : state) state.SetIterationTime(SecondsOf([] { Sleep(10); }));
}
BENCHMARK(BM_SleepTenMilliseconds)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace qrv
