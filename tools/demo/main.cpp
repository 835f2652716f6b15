// The demo host: starts the simulated driver and the framework stand-in,
// loads the library as a host does, shows the heartbeat, serves a few
// seconds of traffic through sample services, then makes the driver fail a
// ping and shuts down. Exit code 0 only when every reply was verified and
// every message is accounted for.
#include <chrono>
#include <cstdio>
#include <thread>

#define QUORVEL_HOST_LOADER
#include "framework/stand_in.h"
#include "options.h"
#include "quorvel/quorvel.h"
#include "sample_services.h"
#include "sim/driver/sim_driver.h"
#include "summary.h"
#include "traffic.h"

namespace {

using qrv::sim::SimDriver;

void PrintLine(void*, const char* text) { std::printf("  log | %s\n", text); }

void ShowHeartbeat(double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    std::printf("[heartbeat] pings answered: %llu\n",
                static_cast<unsigned long long>(SimDriver::Instance().counters().pings));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

bool RegisterServices(quorvel::HostLibrary& library, unsigned count) {
  const auto& services = demo::SampleServices();
  for (uint32_t id = 0; id < count; ++id) {
    const demo::SampleService& service = services[id % services.size()];
    std::printf("[demo] Register(%u, %s) -> ", id, service.name);
    const int32_t result = library.registerService(id, service.callback, nullptr);
    std::printf("0x%x\n", static_cast<unsigned>(result));
    if (result != QUORVEL_OK) return false;
  }
  return true;
}

bool LoseHeartbeat(pxcom::StandIn& standIn) {
  std::printf("[demo] the driver now fails the next ping\n");
  SimDriver::Instance().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
  return standIn.WaitForText("quorvel: echo quit.", 5000);
}

bool Accounted() {
  const auto counters = SimDriver::Instance().counters();
  std::printf("[driver] posted %llu = answered %llu + not wanted %llu + failed back %llu\n",
              static_cast<unsigned long long>(counters.posted),
              static_cast<unsigned long long>(counters.answered),
              static_cast<unsigned long long>(counters.notWanted),
              static_cast<unsigned long long>(counters.failedBack));
  return counters.posted == counters.answered + counters.notWanted + counters.failedBack;
}

}  // namespace

int main(int argc, char** argv) {
  demo::DemoOptions options;
  if (!demo::ParseOptions(argc, argv, &options)) return 2;
  SimDriver::Instance().Attach();
  std::string error;
  auto standIn = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull, &error);
  if (standIn == nullptr) {
    std::fprintf(stderr, "framework stand-in: %s\n", error.c_str());
    return 1;
  }
  standIn->StayLoaded();
  standIn->SetLineCallback(&PrintLine, nullptr);
  quorvel::HostLibrary library(QUORVEL_LIBRARY_PATH);
  if (!library.Loaded()) {
    std::fprintf(stderr, "%s\n", library.Error().c_str());
    return 1;
  }
  std::printf("[demo] Init -> 0x%x\n", static_cast<unsigned>(library.init(0)));
  ShowHeartbeat(options.heartbeatSeconds);
  bool ok = RegisterServices(library, options.traffic.services);
  demo::TrafficCounters counters;
  demo::TrafficResult result = demo::RunTraffic(options.traffic, demo::SampleServices(), counters);
  demo::PrintSummary(counters, result);
  ok = ok && counters.failures == 0 && counters.verified == counters.messages;
  ok = LoseHeartbeat(*standIn) && ok;
  std::printf("[demo] UnInit\n");
  library.unInit();
  ok = Accounted() && ok;
  std::printf("[demo] %s\n", ok ? "every reply verified" : "FAILED");
  return ok ? 0 : 1;
}
