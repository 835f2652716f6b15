// How QUORVEL.DLL performs where hosts run it: the Win32 module under Wine
// against the reference driver (loaded here through the service manager),
// beside bare clients of the driver, in one process. Each comparison runs
// in rounds, bare then library then library then bare (ABBA), so that load
// which drifts during a run lands on both sides alike:
//  - round trip on the pending path (post, callback, reply, the poster sees
//    the outcome) through the library and through a bare client that keeps
//    one receive pending and answers, medians and p99;
//  - throughput of 1 and 15 services flooded with messages, against the
//    design cap of 100 messages a second per worker (each pauses 10 ms
//    after a receive that completed at once), and against bare clients
//    under the same rule (three threads per port, the same pause) on the
//    same ports, which the two sides take and give back in turn; a flood
//    is queued in one driver request per port and timed from the workers'
//    own count, so that nothing but the workers talks to the driver while
//    it runs;
//  - UnInit with 15 busy services, each with a queue behind its workers.
// Each side's figure is the median of its per-round figures; the last
// three lines give the library's median over the bare one, with the lowest
// and highest per-round ratio: "1 service, throughput ratio R (min A,
// max B, N rounds)", the same for 15 services, and "round trip ratio R
// (...)". A benchmark, not a test: its exit status says only whether it
// could measure.
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
constexpr uint32_t kBareService = 14;  // the round trip's bare client, beside library service 0
constexpr uint32_t kWorkersPerService = 3;
constexpr double kCapPerWorker = 100.0;
// Odd, so that a median is a middle figure. Fifteen services are bound by
// the latency of Wine's server and driver host, and a flood of theirs
// swings by a fifth with whatever the host takes from the machine (steal
// time included), so they get the most rounds; the others vary by a few
// hundredths.
constexpr int kRounds = 9;
constexpr int kBusyRounds = 31;
constexpr int kRoundTripsPerRound = 30;   // each side's samples: twice this per round
constexpr uint32_t kFloodPerWorker = 80;  // under 1 s of work at the cap
constexpr DWORD kWaitMs = 60000;
constexpr DWORD kPauseMs = 10;  // the workers' pause after a receive that completed at once
constexpr uint32_t kPayloadSize = 16;

// While the gate is shut every callback waits at it, so that a flood can
// queue behind workers that all hold a message. Once it is open each
// callback counts itself, and the one that completes the flood sets
// g_floodServed: the poster awaits that one event instead of asking the
// driver after every answer, which would compete with the workers.
std::atomic<bool> g_gateOpen{true};
std::atomic<uint32_t> g_waiting{0};
std::atomic<uint32_t> g_served{0};
uint32_t g_floodSize = 0;
HANDLE g_gate = nullptr;         // manual-reset, set while open
HANDLE g_floodServed = nullptr;  // auto-reset

void WaitAtGate() {
  if (!g_gateOpen.load()) {
    g_waiting.fetch_add(1);
    WaitForSingleObject(g_gate, INFINITE);
  } else if (g_served.fetch_add(1) + 1 == g_floodSize) {
    SetEvent(g_floodServed);
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

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

double P99(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() * 99 / 100];
}

// Each side's figure per round of one comparison.
struct Rounds {
  std::vector<double> bare;
  std::vector<double> library;

  void Add(double bareFigure, double libraryFigure) {
    bare.push_back(bareFigure);
    library.push_back(libraryFigure);
  }

  // "<what> ratio R (min A, max B, N rounds)": the library's median over the
  // bare one, and the lowest and highest per-round ratio.
  void PrintRatio(const char* what) const {
    std::vector<double> ratios;
    for (size_t i = 0; i < bare.size(); ++i) ratios.push_back(library[i] / bare[i]);
    const auto spread = std::minmax_element(ratios.begin(), ratios.end());
    std::printf("%s ratio %.2f (min %.2f, max %.2f, %d rounds)\n", what,
                Median(library) / Median(bare), *spread.first, *spread.second,
                static_cast<int>(ratios.size()));
  }
};

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

// Queues `perService` messages (at least kWorkersPerService) for each
// service, each forgotten once final: one for each thread index, so that
// every worker holds one, and the rest in one request for any.
void PostToAll(KernelDriverControl& control, uint32_t services, uint32_t perService) {
  const std::vector<uint8_t> payload(kPayloadSize, 0x33);
  const auto post = [&](uint32_t copies, uint32_t service, uint32_t slot) {
    if (copies != 0 && control.PostCopies(copies, service, 1, payload.data(), kPayloadSize, slot) !=
                           ERROR_SUCCESS) {
      Fail("a post was refused");
    }
  };
  for (uint32_t service = 0; service < services; ++service) {
    for (uint32_t slot = 0; slot < kWorkersPerService; ++slot) post(1, service, slot);
    post(perService - kWorkersPerService, service, QRVCTL_ANY_SLOT);
  }
}

// Every worker is held in its callback with a message while a flood queues
// behind it; from the opening of the gate each worker's receives complete
// at once, which is the path the cap is about.
double Throughput(KernelDriverControl& control, uint32_t services) {
  const uint32_t workers = services * kWorkersPerService;
  const uint64_t target = Answered(control) + uint64_t{workers} * (kFloodPerWorker + 1);
  ResetEvent(g_gate);
  g_waiting.store(0);
  g_served.store(0);
  g_floodSize = workers * kFloodPerWorker;
  g_gateOpen.store(false);
  PostToAll(control, services, kWorkersPerService);
  while (g_waiting.load() < workers) Sleep(1);
  PostToAll(control, services, kWorkersPerService * kFloodPerWorker);
  const Stopwatch watch;
  g_gateOpen.store(true);
  SetEvent(g_gate);
  if (WaitForSingleObject(g_floodServed, kWaitMs) != WAIT_OBJECT_0 ||
      !control.WaitUntil(kWaitMs, [&] { return Answered(control) >= target; })) {
    Fail("the flood was not answered");
  }
  return static_cast<double>(workers) * (kFloodPerWorker + 1) / (watch.ElapsedMs() / 1000.0);
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

// Each stop finds its workers' receives pending, as a host's would.
void UnregisterAll(const quorvel::HostLibrary& library, KernelDriverControl& control,
                   uint32_t services) {
  for (uint32_t service = 0; service < services; ++service) {
    if (!control.WaitForPendingReceives(service, kWorkersPerService, kWaitMs)) {
      Fail("the workers' receives never pended");
    }
    if (library.unregisterService(service) != QUORVEL_OK) Fail("Unregister failed");
  }
}

// Round trips in quadruples bare, library, library, bare, through the
// library's service 0 and a bare client of kBareService held meanwhile;
// each side's figure for a round is the median of its samples there, and
// *all keeps every sample for the p99.
Rounds RoundTrips(KernelDriverControl& control, Rounds* all) {
  Rounds rounds;
  for (int round = 0; round < kRounds; ++round) {
    Rounds samples;
    for (int i = 0; i < kRoundTripsPerRound; ++i) {
      const double bare = RoundTrip(control, kBareService, 1);
      const double first = RoundTrip(control, 0, kWorkersPerService);
      const double second = RoundTrip(control, 0, kWorkersPerService);
      samples.Add(bare, first);
      samples.Add(RoundTrip(control, kBareService, 1), second);
    }
    rounds.Add(Median(samples.bare), Median(samples.library));
    all->bare.insert(all->bare.end(), samples.bare.begin(), samples.bare.end());
    all->library.insert(all->library.end(), samples.library.begin(), samples.library.end());
  }
  return rounds;
}

// Floods in rounds bare, library, library, bare on the ports of services 0
// to `services` - 1, which the bare clients and the library take in turn;
// each side's figure for a round is the mean of its two floods.
Rounds ThroughputRounds(const quorvel::HostLibrary& library, KernelDriverControl& control,
                        uint32_t services, int count) {
  Rounds rounds;
  for (int round = 0; round < count; ++round) {
    const double bareFirst = BareThroughput(control, services);
    RegisterAll(library, services);
    const double first = Throughput(control, services);
    const double second = Throughput(control, services);
    UnregisterAll(library, control, services);
    rounds.Add((bareFirst + BareThroughput(control, services)) / 2, (first + second) / 2);
  }
  return rounds;
}

uint32_t QueuedMessages(KernelDriverControl& control) {
  QrvCtlPorts ports{};
  if (control.Ports(&ports) != ERROR_SUCCESS) Fail("the driver's ports could not be read");
  uint32_t queued = 0;
  for (const QrvCtlPortInfo& port : ports.ports) queued += port.queuedMessages;
  return queued;
}

void Report(const char* what, double median, const std::vector<double>& samples) {
  std::printf("%-30s median %8.1f us   p99 %8.1f us\n", what, median, P99(samples));
}

void ReportThroughput(uint32_t services, const Rounds& rounds) {
  const double rate = Median(rounds.library);
  const double cap = services * kWorkersPerService * kCapPerWorker;
  std::printf("throughput, %2u service(s)        %8.0f msg/s   cap %6.0f   ratio %.2f\n", services,
              rate, cap, rate / cap);
  std::printf("throughput, %2u service(s), bare  %8.0f msg/s\n", services, Median(rounds.bare));
}

std::wstring ModulePath() {
  const char* other = std::getenv("QRV_QUORVEL_DLL");
  return other != nullptr && *other != '\0' ? WinePathOf(other) : L"QUORVEL.DLL";
}

int Run() {
  g_gate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  g_floodServed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
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
  Rounds roundTripSamples;
  Rounds roundTrips;
  {
    BareClient client;
    if (!client.Start(kBareService, 1, 0, nullptr, &error)) Fail("bare client: " + error);
    roundTrips = RoundTrips(*control, &roundTripSamples);
  }
  UnregisterAll(library, *control, 1);
  const Rounds one = ThroughputRounds(library, *control, 1, kRounds);
  const Rounds fifteen = ThroughputRounds(library, *control, kServices, kBusyRounds);
  RegisterAll(library, kServices);
  // Every service busy: a queue of messages behind each worker.
  PostToAll(*control, kServices, kWorkersPerService * 20);
  const uint32_t queued = QueuedMessages(*control);
  const Stopwatch unInit;
  library.unInit();
  const double unInitMs = unInit.ElapsedMs();

  Report("round trip, bare driver", Median(roundTrips.bare), roundTripSamples.bare);
  Report("round trip, QUORVEL.DLL", Median(roundTrips.library), roundTripSamples.library);
  ReportThroughput(1, one);
  ReportThroughput(kServices, fifteen);
  std::printf("UnInit, 15 busy services         %8.1f ms   (%u messages queued)\n", unInitMs,
              queued);
  one.PrintRatio("1 service, throughput");
  fifteen.PrintRatio("15 services, throughput");
  roundTrips.PrintRatio("round trip");
  return 0;
}

}  // namespace
}  // namespace wintest
}  // namespace qrv

int main() { return qrv::wintest::Run(); }
