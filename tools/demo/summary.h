// The closing report of a demo run: where every message ended, latency, and
// what the library wrote to the log sink and to standard output.
#ifndef QUORVEL_TOOLS_DEMO_SUMMARY_H_
#define QUORVEL_TOOLS_DEMO_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "console.h"
#include "sim/driver/sim_driver.h"
#include "traffic.h"

namespace demo {

struct LibraryOutput {
  // Each distinct line of the library's stdout and how often it came.
  std::vector<std::pair<std::string, uint64_t>> stdoutLines;
  uint64_t sinkLines = 0;
  uint64_t sinkFolded = 0;  // sink lines not shown (see SinkView)
};

// Prints the report, marked "interrupted after N s" when the run was cut
// short. Returns true when every message posted ended in one of the outcomes
// and the driver's own accounting agrees.
bool PrintSummary(Console& console, const TrafficCounters& counters, TrafficResult result,
                  const qrv::sim::Counters& driver, const LibraryOutput& library,
                  std::optional<double> interruptedAfter);

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_SUMMARY_H_
