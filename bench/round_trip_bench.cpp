// One message's round trip on the pending path (the receive waits in the
// driver when the message arrives, so no 10 ms pause applies), against a bare
// two-thread event handoff on the same platform primitives.
#include <benchmark/benchmark.h>

#include <thread>

#include "bench_support.h"
#include "platform/win32.h"
#include "sim/driver/sim_driver.h"

namespace {

void BM_PendingPathRoundTrip(benchmark::State& state) {
  if (!StartEchoServices(1)) {
    state.SkipWithError("services did not start");
    return;
  }
  auto& driver = qrv::sim::SimDriver::Instance();
  const std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    // Three workers, one message at a time: at least two receives are
    // pending whenever a message is posted.
    auto message = driver.Post(0, 1, payload);
    if (!message->WaitFinal(std::chrono::seconds(10))) {
      state.SkipWithError("no reply");
      break;
    }
  }
  const auto counters = driver.counters();
  state.counters["pended_receives"] = static_cast<double>(counters.pendedReceives);
  StopServices();
}
BENCHMARK(BM_PendingPathRoundTrip)->Arg(64)->Arg(1000)->UseRealTime();

// A sets `ping` and waits for `pong`; B does the reverse: one round trip is
// two handoffs through auto-reset events, as a message and its reply are.
void BM_EventHandoffRoundTrip(benchmark::State& state) {
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread peer([&] {
    HANDLE wait[2] = {stop, ping};
    while (WaitForMultipleObjects(2, wait, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) SetEvent(pong);
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  SetEvent(stop);
  peer.join();
  for (HANDLE event : {ping, pong, stop}) CloseHandle(event);
}
BENCHMARK(BM_EventHandoffRoundTrip)->UseRealTime();

}  // namespace
