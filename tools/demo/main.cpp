// The demo host: starts the simulated driver and the framework stand-in,
// loads the library as a host does, shows the heartbeat, serves a few
// seconds of traffic through sample services, then makes the driver fail a
// ping and shuts down. Exit code 0 only when every reply was verified and
// every message is accounted for. The first Ctrl-C cuts the run short (no
// lost heartbeat; UnInit and the summary still come, and the exit code is
// 130 when all is accounted for); a second one exits at once.
//
// The library's standard output is the host's: the demo captures it and
// reports it as counted lines. The demo's own lines, the log sink's and the
// status lines all go through one Console, so none splits another.
#include <chrono>
#include <cstdio>
#include <optional>

#define QUORVEL_HOST_LOADER
#include "console.h"
#include "framework/stand_in.h"
#include "interrupt.h"
#include "options.h"
#include "quorvel/quorvel.h"
#include "sample_services.h"
#include "sim/driver/sim_driver.h"
#include "sink_view.h"
#include "stdout_capture.h"
#include "summary.h"
#include "traffic.h"

namespace {

using qrv::sim::SimDriver;
using ull = unsigned long long;

void ShowHeartbeat(demo::Console& console, double seconds, demo::Interrupt& interrupt) {
  if (interrupt.WaitFor(std::chrono::duration<double>(seconds))) return;
  console.Line("[heartbeat] %.1f s: pings answered %llu (one a second)", seconds,
               static_cast<ull>(SimDriver::Instance().counters().pings));
}

// Results three to a line, which keeps 15 services short.
bool RegisterServices(demo::Console& console, quorvel::HostLibrary& library, unsigned count) {
  const auto& services = demo::SampleServices();
  bool ok = true;
  std::string line;
  for (uint32_t id = 0; id < count; ++id) {
    const demo::SampleService& service = services[id % services.size()];
    const int32_t result = library.registerService(id, service.callback, nullptr);
    char text[64];
    std::snprintf(text, sizeof text, "%sRegister(%u, %s) -> 0x%x", line.empty() ? "" : ", ", id,
                  service.name, static_cast<unsigned>(result));
    line += text;
    if (id % 3 == 2 || id + 1 == count) {
      console.Line("[demo] %s", line.c_str());
      line.clear();
    }
    ok = ok && result == QUORVEL_OK;
  }
  return ok;
}

bool LoseHeartbeat(demo::Console& console, pxcom::StandIn& standIn) {
  console.Line("[heartbeat] the driver now fails the next ping");
  SimDriver::Instance().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
  // The library's own lines say "echo" for the heartbeat.
  const bool lost = standIn.WaitForText("quorvel: echo quit.", 5000);
  console.Line("[heartbeat] %s", lost ? "lost: the library stopped every service and its heartbeat"
                                      : "NOT LOST within 5 s");
  return lost;
}

void ShowStatus(demo::Console& console, double elapsed, const demo::TrafficCounters& counters,
                const demo::StdoutCapture& capture) {
  console.Line(
      "[traffic] %4.1f s  posted %5llu  verified %5llu  no reply wanted %4llu  oversized %4llu  "
      "failed %llu  library stdout lines %llu",
      elapsed, static_cast<ull>(counters.messages.load()),
      static_cast<ull>(counters.verified.load()), static_cast<ull>(counters.notWanted.load()),
      static_cast<ull>(counters.oversized.load()), static_cast<ull>(counters.Failures()),
      static_cast<ull>(capture.lines()));
}

int Run(const demo::DemoOptions& options, demo::Console& console, demo::Interrupt& interrupt) {
  SimDriver::Instance().Attach();
  std::string error;
  auto standIn = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull, &error);
  if (standIn == nullptr) {
    std::fprintf(stderr, "framework stand-in: %s\n", error.c_str());
    return 1;
  }
  standIn->StayLoaded();
  demo::SinkView sink(console, options.verbose);
  standIn->SetLineCallback(&demo::SinkView::OnLine, &sink);
  quorvel::HostLibrary library(QUORVEL_LIBRARY_PATH);
  if (!library.Loaded()) {
    std::fprintf(stderr, "%s\n", library.Error().c_str());
    return 1;
  }
  demo::StdoutCapture capture(console, options.verbose);
  console.Line("[demo] Init -> 0x%x", static_cast<unsigned>(library.init(0)));
  ShowHeartbeat(console, options.heartbeatSeconds, interrupt);
  bool ok = RegisterServices(console, library, options.traffic.services);
  demo::TrafficCounters counters;
  console.Line(
      "[traffic] every second: messages so far; \"library stdout lines\" counts the library's "
      "'DeviceIoControl : N.' lines, explained in the summary");
  demo::TrafficResult result = demo::RunTraffic(
      options.traffic, demo::SampleServices(), counters,
      [&](double elapsed) { ShowStatus(console, elapsed, counters, capture); }, interrupt.flag());
  ShowStatus(console, result.seconds, counters, capture);
  if (!interrupt.requested()) ok = LoseHeartbeat(console, *standIn) && ok;
  console.Line("[demo] UnInit");
  library.unInit();
  capture.Finish();
  standIn->SetLineCallback(nullptr, nullptr);
  std::optional<double> interruptedAfter;
  if (interrupt.requested()) interruptedAfter = interrupt.SecondsUntilRequest();
  ok = demo::PrintSummary(console, counters, std::move(result), SimDriver::Instance().counters(),
                          {capture.Counts(), sink.lines(), sink.folded()}, interruptedAfter) &&
       ok && counters.verified + counters.notWanted == counters.messages;
  console.Line("[demo] %s", ok ? "every reply verified, every message accounted for" : "FAILED");
  if (!ok) return 1;
  return interruptedAfter ? demo::Interrupt::kExitStatus : 0;
}

}  // namespace

int main(int argc, char** argv) {
  demo::DemoOptions options;
  std::string error;
  switch (demo::ParseOptions(argc, argv, &options, &error)) {
    case demo::ParseResult::kHelp:
      std::fputs(demo::Usage(), stdout);
      return 0;
    case demo::ParseResult::kError:
      std::fprintf(stderr, "quorvel_demo: %s (--help lists the options)\n", error.c_str());
      return 2;
    case demo::ParseResult::kRun:
      break;
  }
  demo::Console console;
  demo::Interrupt interrupt(console);  // before any other thread starts
  return Run(options, console, interrupt);
}
