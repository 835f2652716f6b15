// How QUORVEL.DLL performs where hosts run it: the Win32 module under Wine
// against the reference driver (loaded here through the service manager).
//  - round trip on the pending path (post, callback, reply, the poster sees
//    the outcome), beside the same round trip through a bare client of the
//    driver that keeps one receive pending and answers, medians and p99;
//  - throughput of 1 and 15 services flooded with messages, against the
//    design cap of 100 messages a second per worker (each pauses 10 ms
//    after a receive that completed at once), and against bare clients
//    under the same rule (three threads per port, the same pause), run
//    first, before the library registers a service;
//  - UnInit with 15 busy services.
// The last two lines read "throughput ratio R", the lower of the library's
// throughputs over the bare client's, and "round trip ratio R", the
// library's median round trip over the bare client's. A benchmark, not a
// test: its exit status says only whether it could measure.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/bare_client.h"
#include "harness/driver_service.h"
#include "harness/kernel_driver_control.h"
#include "harness/stopwatch.h"
#define QUORVEL_HOST_LOADER
#include "quorvel/quorvel.h"

namespace qrv {
namespace wintest {
namespace {

constexpr uint32_t kServices = 15;     // with the echo port, every port the driver has
constexpr uint32_t kBareService = 14;  // its port is freed before the library takes 15
constexpr uint32_t kWorkersPerService = 3;
constexpr double kCapPerWorker = 100.0;
constexpr int kRoundTrips = 300;
constexpr uint32_t kFloodPerWorker = 400;  // about 4 s of work at the cap
constexpr DWORD kWaitMs = 60000;
constexpr DWORD kPauseMs = 10;  // the workers' pause after a receive that completed at once
constexpr uint32_t kPayloadSize = 16;

// While the gate is shut every callback waits at it, so that a flood can
// queue behind workers that all hold a message.
std::atomic<bool> g_gateOpen{true};
std::atomic<uint32_t> g_waiting{0};
HANDLE g_gate = nullptr;  // manual-reset, set while open

void WaitAtGate() {
  if (!g_gateOpen.load()) {
    g_waiting.fetch_add(1);
    WaitForSingleObject(g_gate, INFINITE);
  }
}

void QUORVEL_STDCALL Echo(QuorvelAllocator* allocator, void* message, uint32_t length, void*,
                          void** answer, uint32_t* answerLength) {
  WaitAtGate();
  void* copy = allocator->Allocate(length);
  if (copy == nullptr) return;
  std::memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "win32 bench: %s\n", what.c_str());
  std::exit(1);
}

struct Summary {
  double median;
  double p99;
};

Summary Summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// The message is posted once `pending` receives wait on the service's port,
// so that it takes the pending path; the time runs from the post until the
// poster has read the final outcome. Returns microseconds.
double RoundTrip(KernelDriverControl& control, uint32_t serviceId, uint32_t pending) {
  const std::vector<uint8_t> payload(kPayloadSize, 0x5A);
  if (!control.WaitForPendingReceives(serviceId, pending, kWaitMs)) Fail("no pending receive");
  uint32_t id = 0;
  MessageOutcome outcome;
  const Stopwatch watch;
  if (control.Post(serviceId, 1, payload.data(), kPayloadSize, QRVCTL_ANY_SLOT, &id) != 0 ||
      !control.WaitForOutcome(id, kWaitMs, &outcome)) {
    Fail("a round trip did not finish");
  }
  const double us = watch.ElapsedMs() * 1000.0;
  if (outcome.record.state != QRVCTL_MSG_ANSWERED) Fail("a round trip was not answered");
  control.Outcome(id, true, &outcome);
  return us;
}

uint64_t Answered(KernelDriverControl& control) {
  QrvCtlCounters counters{};
  control.Counters(&counters);
  return counters.answered;
}

void PostToAll(KernelDriverControl& control, uint32_t services, uint32_t perService,
               std::vector<uint32_t>* ids) {
  const std::vector<uint8_t> payload(kPayloadSize, 0x33);
  for (uint32_t n = 0; n < perService; ++n) {
    for (uint32_t service = 0; service < services; ++service) {
      const uint32_t slot = n < kWorkersPerService ? n : QRVCTL_ANY_SLOT;
      uint32_t id = 0;
      if (control.Post(service, 1, payload.data(), kPayloadSize, slot, &id) != 0)
        Fail("a post was refused");
      if (ids != nullptr) ids->push_back(id);
    }
  }
}

// Every worker is held in its callback with a message while a flood queues
// behind it; from the opening of the gate each worker's receives complete
// at once, which is the path the cap is about.
double Throughput(KernelDriverControl& control, uint32_t services) {
  const uint32_t workers = services * kWorkersPerService;
  const uint64_t target = Answered(control) + uint64_t{workers} * (kFloodPerWorker + 1);
  std::vector<uint32_t> ids;
  ResetEvent(g_gate);
  g_waiting.store(0);
  g_gateOpen.store(false);
  PostToAll(control, services, kWorkersPerService, &ids);
  while (g_waiting.load() < workers) Sleep(1);
  PostToAll(control, services, kWorkersPerService * kFloodPerWorker, &ids);
  const Stopwatch watch;
  g_gateOpen.store(true);
  SetEvent(g_gate);
  if (!control.WaitUntil(kWaitMs, [&] { return Answered(control) >= target; }))
    Fail("the flood was not answered");
  const double rate =
      static_cast<double>(workers) * (kFloodPerWorker + 1) / (watch.ElapsedMs() / 1000.0);
  MessageOutcome outcome;
  for (uint32_t id : ids) control.Outcome(id, true, &outcome);
  return rate;
}

// The same flood served by bare clients on the ports of services 0 to
// `services` - 1, which the library must not hold meanwhile.
double BareThroughput(KernelDriverControl& control, uint32_t services) {
  std::vector<std::unique_ptr<BareClient>> clients;
  std::string error;
  for (uint32_t service = 0; service < services; ++service) {
    clients.push_back(std::make_unique<BareClient>());
    if (!clients.back()->Start(service, kWorkersPerService, kPauseMs, &WaitAtGate, &error))
      Fail("bare client: " + error);
  }
  return Throughput(control, services);
}

void RegisterAll(const quorvel::HostLibrary& library, uint32_t services) {
  for (uint32_t service = 0; service < services; ++service) {
    if (library.registerService(service, &Echo, nullptr) != QUORVEL_OK) Fail("Register failed");
  }
}

void UnregisterAll(const quorvel::HostLibrary& library, uint32_t services) {
  for (uint32_t service = 0; service < services; ++service) {
    if (library.unregisterService(service) != QUORVEL_OK) Fail("Unregister failed");
  }
}

void Report(const char* what, const Summary& summary) {
  std::printf("%-30s median %8.1f us   p99 %8.1f us\n", what, summary.median, summary.p99);
}

void ReportThroughput(uint32_t services, double rate, double bare) {
  const double cap = services * kWorkersPerService * kCapPerWorker;
  std::printf("throughput, %2u service(s)        %8.0f msg/s   cap %6.0f   ratio %.2f\n", services,
              rate, cap, rate / cap);
  std::printf("throughput, %2u service(s), bare  %8.0f msg/s   library/bare %.2f\n", services, bare,
              rate / bare);
}

std::wstring ModulePath() {
  const char* other = std::getenv("QRV_QUORVEL_DLL");
  return other != nullptr && *other != '\0' ? WinePathOf(other) : L"QUORVEL.DLL";
}

int Run() {
  g_gate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  std::string error;
  auto driver = DriverService::Start(L"qrvdrv", WinePathOf(QRV_DRIVER_UNIX_PATH), &error);
  if (!driver) Fail("cannot load the reference driver: " + error);
  DWORD openError = 0;
  auto control = KernelDriverControl::Open(&openError);
  if (!control) Fail("cannot open the control device: " + std::to_string(openError));

  const std::wstring path = ModulePath();
  quorvel::HostLibrary library(path.c_str());
  if (!library.Loaded()) Fail(library.Error());
  if (library.init(0) != QUORVEL_OK) Fail("Init failed");
  RegisterAll(library, 1);
  // The two round trips alternate, so that both see the same load.
  std::vector<double> bareSamples, quorvelSamples;
  {
    BareClient client;
    if (!client.Start(kBareService, 1, 0, nullptr, &error)) Fail("bare client: " + error);
    for (int i = 0; i < kRoundTrips; ++i) {
      bareSamples.push_back(RoundTrip(*control, kBareService, 1));
      quorvelSamples.push_back(RoundTrip(*control, 0, kWorkersPerService));
    }
  }
  const Summary bare = Summarize(bareSamples);
  const Summary quorvel = Summarize(quorvelSamples);
  UnregisterAll(library, 1);
  const double bareOne = BareThroughput(*control, 1);
  RegisterAll(library, 1);
  const double one = Throughput(*control, 1);
  UnregisterAll(library, 1);
  const double bareFifteen = BareThroughput(*control, kServices);
  RegisterAll(library, kServices);
  const double fifteen = Throughput(*control, kServices);
  // Every service busy: a queue of messages behind each worker.
  PostToAll(*control, kServices, kWorkersPerService * 20, nullptr);
  const Stopwatch unInit;
  library.unInit();
  const double unInitMs = unInit.ElapsedMs();

  Report("round trip, bare driver", bare);
  Report("round trip, QUORVEL.DLL", quorvel);
  ReportThroughput(1, one, bareOne);
  ReportThroughput(kServices, fifteen, bareFifteen);
  std::printf("UnInit, 15 busy services         %8.1f ms\n", unInitMs);
  std::printf("throughput ratio %.2f\n", std::min(one / bareOne, fifteen / bareFifteen));
  std::printf("round trip ratio %.2f\n", quorvel.median / bare.median);
  return 0;
}

}  // namespace
}  // namespace wintest
}  // namespace qrv

int main() { return qrv::wintest::Run(); }
