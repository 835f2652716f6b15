// Command line of the demo host.
#ifndef QUORVEL_TOOLS_DEMO_OPTIONS_H_
#define QUORVEL_TOOLS_DEMO_OPTIONS_H_

#include "traffic.h"

namespace demo {

struct DemoOptions {
  TrafficOptions traffic;
  double heartbeatSeconds = 2.5;  // heartbeat shown before and after the traffic
};

// Parses --seconds S, --services N (1 to 15), --max-size BYTES,
// --heartbeat S. Returns false, after printing the usage, on anything else.
bool ParseOptions(int argc, char** argv, DemoOptions* options);

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_OPTIONS_H_
