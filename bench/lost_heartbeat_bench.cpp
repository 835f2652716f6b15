// How often a lost heartbeat's thread wakes while it cannot have the
// process-wide lock: Unregister holds the lock and waits for a callback that
// does not return, and meanwhile a ping fails. Every wait call the thread
// makes in that time is counted through the seam's kernel-call observer,
// over one second; the host thread in Unregister and the service's idle
// workers make none of their own once they wait.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "api/exports.h"
#include "platform/posix/device.h"
#include "platform/win32.h"
#include "sim/driver/sim_driver.h"

namespace qrv {

namespace {

namespace wire = qrv::sim::wire;

constexpr auto kBound = std::chrono::seconds(10);
constexpr DWORD kWindowMs = 1000;

std::atomic<bool> inCallback{false};
std::atomic<bool> releaseCallback{false};
std::atomic<uint64_t> kernelCalls{0};

void CountKernelCall(const char*) { kernelCalls.fetch_add(1, std::memory_order_relaxed); }

// Holds its worker until released: the callback a stop waits for.
void WINAPI SlowCallback(NIMUC::IAllocator*, void*, uint32_t, void*, void**, uint32_t*) {
  inCallback = true;
  while (!releaseCallback) Sleep(1);
}

bool Await(const std::atomic<bool>& flag) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!flag && std::chrono::steady_clock::now() < deadline) Sleep(1);
  return flag;
}

// Kernel calls in one window while the lost heartbeat waits for the lock.
uint64_t WakeUpsWhileAStopWaits() {
  auto& driver = qrv::sim::SimDriver::Instance();
  driver.Attach();
  inCallback = releaseCallback = false;
  if (Init(0) != S_OK || Register(0, &SlowCallback, nullptr) != S_OK) return UINT64_MAX;
  driver.Post(0, 1, {1, 2, 3});
  if (!Await(inCallback)) return UINT64_MAX;
  const size_t pings = driver.RequestCount(wire::kEcho);
  std::thread stop([] { Unregister(0); });
  driver.WaitForRequests(wire::kFreePort, 1, kBound);  // the lock is held from here
  driver.FaultPingsAfter(0, qrv::sim::PingFault::kFail);
  driver.WaitForRequests(wire::kEcho, pings + 2, kBound);  // the failing ping
  Sleep(50);                                               // the thread logs and reaches the lock
  kernelCalls = 0;
  qrv::posix::SetKernelCallObserver(&CountKernelCall);
  Sleep(kWindowMs);
  qrv::posix::SetKernelCallObserver(nullptr);
  const uint64_t calls = kernelCalls;
  releaseCallback = true;
  stop.join();
  UnInit();
  driver.ClearFaults();
  return calls;
}

void BM_LostHeartbeatWakeUpsWhileAStopWaits(benchmark::State& state) {
  for (auto _ : state) {
    const uint64_t calls = WakeUpsWhileAStopWaits();
    if (calls == UINT64_MAX) {
      state.SkipWithError("the service or its callback did not start");
      return;
    }
    state.counters["wakeups_per_s"] = static_cast<double>(calls) * 1000 / kWindowMs;
  }
}
BENCHMARK(BM_LostHeartbeatWakeUpsWhileAStopWaits)->Iterations(3)->Unit(benchmark::kSecond);

}  // namespace

}  // namespace qrv
