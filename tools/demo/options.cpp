#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace demo {
namespace {

void PrintUsage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--seconds S] [--services N] [--max-size BYTES] [--heartbeat S]\n"
               "  --seconds    traffic duration (default 5)\n"
               "  --services   services registered, 1 to 15 (default 3)\n"
               "  --max-size   largest payload in bytes, over 1020 (default 65536)\n"
               "  --heartbeat  seconds of heartbeat shown around the traffic (default 2.5)\n",
               program);
}

}  // namespace

bool ParseOptions(int argc, char** argv, DemoOptions* options) {
  for (int i = 1; i < argc; i += 2) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) {
      PrintUsage(argv[0]);
      return false;
    }
    if (std::strcmp(argv[i], "--seconds") == 0) {
      options->traffic.seconds = std::atof(value);
    } else if (std::strcmp(argv[i], "--services") == 0) {
      options->traffic.services = static_cast<unsigned>(std::atoi(value));
    } else if (std::strcmp(argv[i], "--max-size") == 0) {
      options->traffic.maxLarge = static_cast<uint32_t>(std::atol(value));
    } else if (std::strcmp(argv[i], "--heartbeat") == 0) {
      options->heartbeatSeconds = std::atof(value);
    } else {
      PrintUsage(argv[0]);
      return false;
    }
  }
  const TrafficOptions& traffic = options->traffic;
  if (traffic.services < 1 || traffic.services > 15 || traffic.maxLarge <= traffic.maxSmall ||
      traffic.seconds <= 0) {
    PrintUsage(argv[0]);
    return false;
  }
  return true;
}

}  // namespace demo
