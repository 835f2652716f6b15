// Saturated throughput: every service's queue is kept full, so workers take
// messages on the immediate path and pause 10 ms after each, which caps a
// worker at 100 messages per second (300 per service).
#include <benchmark/benchmark.h>

#include <deque>
#include <memory>

#include "bench_support.h"
#include "sim/driver/sim_driver.h"

namespace {

constexpr size_t kBacklogPerService = 12;

void BM_SaturatedThroughput(benchmark::State& state) {
  const auto services = static_cast<uint32_t>(state.range(0));
  if (!StartEchoServices(services)) {
    state.SkipWithError("services did not start");
    return;
  }
  auto& driver = qrv::sim::SimDriver::Instance();
  const std::vector<uint8_t> payload(256, 0x5A);
  std::deque<std::shared_ptr<qrv::sim::Message>> backlog;
  for (size_t i = 0; i < kBacklogPerService * services; ++i) {
    backlog.push_back(driver.Post(static_cast<uint32_t>(i % services), 1, payload));
  }
  int64_t answered = 0;
  for (auto _ : state) {
    // One iteration: the oldest message answered, and its service given a
    // new one.
    const auto oldest = backlog.front();
    backlog.pop_front();
    oldest->WaitFinal(std::chrono::seconds(10));
    ++answered;
    backlog.push_back(driver.Post(oldest->serviceId(), 1, payload));
  }
  state.SetItemsProcessed(answered);
  state.counters["cap_per_s"] = 100.0 * 3 * services;
  StopServices();
}
BENCHMARK(BM_SaturatedThroughput)->Arg(1)->Arg(15)->UseRealTime()->MinTime(3.0);

}  // namespace
