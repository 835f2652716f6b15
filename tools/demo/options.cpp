#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace demo {
namespace {

// A number that is the whole argument, finite, and within [low, high].
bool ParseNumber(const char* text, double low, double high, double* value) {
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < low ||
      parsed > high) {
    return false;
  }
  *value = parsed;
  return true;
}

struct NumericOption {
  const char* name;
  double low;
  double high;
  bool integral;
  const char* range;  // for the error message
  void (*store)(DemoOptions*, double);
};

constexpr NumericOption kNumeric[] = {
    {"--seconds", 0.1, 3600, false, "a number of seconds from 0.1 to 3600",
     [](DemoOptions* o, double v) { o->traffic.seconds = v; }},
    {"--services", 1, 15, true, "a whole number from 1 to 15",
     [](DemoOptions* o, double v) { o->traffic.services = static_cast<unsigned>(v); }},
    {"--max-size", 1021, 16 * 1024 * 1024, true, "a whole number of bytes from 1021 to 16777216",
     [](DemoOptions* o, double v) { o->traffic.maxLarge = static_cast<uint32_t>(v); }},
    {"--heartbeat", 0, 60, false, "a number of seconds from 0 to 60",
     [](DemoOptions* o, double v) { o->heartbeatSeconds = v; }},
};

const NumericOption* FindNumeric(const char* name) {
  for (const NumericOption& option : kNumeric) {
    if (std::strcmp(option.name, name) == 0) return &option;
  }
  return nullptr;
}

}  // namespace

const char* Usage() {
  return "usage: quorvel_demo [--seconds S] [--services N] [--max-size BYTES] [--heartbeat S]\n"
         "                    [--verbose] [--help]\n"
         "  --seconds    traffic duration (default 5)\n"
         "  --services   services registered, 1 to 15 (default 3)\n"
         "  --max-size   largest payload in bytes, over 1020 (default 65536)\n"
         "  --heartbeat  seconds of heartbeat shown before the traffic (default 2.5)\n"
         "  --verbose    show every log line and every line the library writes to stdout\n"
         "  --help       show this text\n"
         "Ctrl-C stops the traffic early: UnInit and the summary still come (exit code 130);\n"
         "a second Ctrl-C exits at once.\n";
}

ParseResult ParseOptions(int argc, const char* const* argv, DemoOptions* options,
                         std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const char* name = argv[i];
    if (std::strcmp(name, "--help") == 0 || std::strcmp(name, "-h") == 0) return ParseResult::kHelp;
    if (std::strcmp(name, "--verbose") == 0) {
      options->verbose = true;
      continue;
    }
    const NumericOption* option = FindNumeric(name);
    if (option == nullptr) {
      *error = std::string("unknown option '") + name + "'";
      return ParseResult::kError;
    }
    if (i + 1 == argc) {
      *error = std::string(name) + " needs a value: " + option->range;
      return ParseResult::kError;
    }
    const char* text = argv[++i];
    double value = 0;
    if (!ParseNumber(text, option->low, option->high, &value) ||
        (option->integral && value != std::floor(value))) {
      *error = std::string("bad value '") + text + "' for " + name + ": " + option->range;
      return ParseResult::kError;
    }
    option->store(options, value);
  }
  return ParseResult::kRun;
}

}  // namespace demo
