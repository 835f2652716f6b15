// Command line of the demo host.
#ifndef QUORVEL_TOOLS_DEMO_OPTIONS_H_
#define QUORVEL_TOOLS_DEMO_OPTIONS_H_

#include <string>

#include "traffic.h"

namespace demo {

struct DemoOptions {
  TrafficOptions traffic;
  double heartbeatSeconds = 2.5;  // heartbeat shown before the traffic
  bool verbose = false;           // every log line and every line of the library's stdout
};

enum class ParseResult { kRun, kHelp, kError };

// Parses --seconds S, --services N (1 to 15), --max-size BYTES,
// --heartbeat S, --verbose and --help. On kError, *error names the option or
// value at fault.
ParseResult ParseOptions(int argc, const char* const* argv, DemoOptions* options,
                         std::string* error);

// The usage text, several lines, each ending in a newline.
const char* Usage();

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_OPTIONS_H_
