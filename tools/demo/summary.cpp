#include "summary.h"

#include <algorithm>
#include <cstdio>

namespace demo {
namespace {

using ull = unsigned long long;

// Worker retries of a receive that fails at once; see the library's worker.
constexpr uint64_t kReceiveAttempts = 5;

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

void PrintOutcomes(Console& console, const TrafficCounters& counters,
                   const qrv::sim::Counters& driver, bool accounted) {
  const struct {
    const char* what;
    uint64_t count;
  } rows[] = {
      {"answered, reply verified byte-exact", counters.verified},
      {"delivered, no reply wanted (header 0)", counters.notWanted},
      {"failed back by the driver", counters.failedBack},
      {"wrong reply, or no outcome within 10 s", counters.wrong},
  };
  for (const auto& row : rows) console.Line("  %-40s %8llu", row.what, static_cast<ull>(row.count));
  console.Line("  %-40s %8llu  %s (driver: %llu answered, %llu not wanted, %llu failed back)",
               "sum", static_cast<ull>(counters.Settled()), accounted ? "= posted" : "!= POSTED",
               static_cast<ull>(driver.answered), static_cast<ull>(driver.notWanted),
               static_cast<ull>(driver.failedBack));
}

void PrintHistogram(Console& console, const std::vector<double>& sortedUs) {
  static const struct {
    double belowMs;
    const char* label;
  } kBuckets[] = {{1, "< 1 ms"},      {10, "1-10 ms"},     {20, "10-20 ms"},    {50, "20-50 ms"},
                  {100, "50-100 ms"}, {200, "100-200 ms"}, {1e300, ">= 200 ms"}};
  constexpr size_t kCount = sizeof kBuckets / sizeof kBuckets[0];
  uint64_t counts[kCount] = {};
  for (double us : sortedUs) {
    size_t bucket = 0;
    while (us / 1000 >= kBuckets[bucket].belowMs) ++bucket;
    counts[bucket]++;
  }
  const uint64_t* first = std::find_if(counts, counts + kCount, [](uint64_t c) { return c != 0; });
  const uint64_t* last =
      std::find_if(std::make_reverse_iterator(counts + kCount), std::make_reverse_iterator(counts),
                   [](uint64_t c) { return c != 0; })
          .base();
  const uint64_t peak = std::max<uint64_t>(1, *std::max_element(counts, counts + kCount));
  constexpr int kWidth = 40;
  for (const uint64_t* c = first; c < last; ++c) {
    const int bar = static_cast<int>(*c * kWidth / peak) + (*c != 0 && *c * kWidth < peak);
    console.Line("  %10s |%-*.*s %llu", kBuckets[c - counts].label, kWidth, bar,
                 "########################################", static_cast<ull>(*c));
  }
}

void PrintLatency(Console& console, std::vector<double> us) {
  std::sort(us.begin(), us.end());
  console.Line("latency, post to outcome: p50 %.1f ms  p90 %.1f ms  p99 %.1f ms  max %.1f ms",
               Percentile(us, 0.50) / 1000, Percentile(us, 0.90) / 1000,
               Percentile(us, 0.99) / 1000, Percentile(us, 1.0) / 1000);
  PrintHistogram(console, us);
  console.Line(
      "  where the time goes: a worker pauses 10 ms after each receive that completes at once,");
  console.Line(
      "  so under load most messages wait that long; an oversized one found waiting fails 5 x 10 "
      "ms");
}

void PrintLibraryOutput(Console& console, const LibraryOutput& library) {
  if (library.stdoutLines.empty()) console.Line("library stdout: nothing");
  for (const auto& [text, count] : library.stdoutLines) {
    if (text == "DeviceIoControl : 122.") {
      console.Line(
          "library stdout: %llu x '%s' (%llu for each of %llu oversized messages found waiting)",
          static_cast<ull>(count), text.c_str(), static_cast<ull>(kReceiveAttempts),
          static_cast<ull>(count / kReceiveAttempts));
    } else {
      console.Line("library stdout: %llu x '%s'", static_cast<ull>(count), text.c_str());
    }
  }
  if (library.sinkFolded == 0) {
    console.Line("log sink: %llu lines, all shown above", static_cast<ull>(library.sinkLines));
    return;
  }
  console.Line(
      "log sink: %llu lines, %llu of them repeats of a shape shown above (--verbose shows all)",
      static_cast<ull>(library.sinkLines), static_cast<ull>(library.sinkFolded));
}

}  // namespace

bool PrintSummary(Console& console, const TrafficCounters& counters, TrafficResult result,
                  const qrv::sim::Counters& driver, const LibraryOutput& library,
                  std::optional<double> interruptedAfter) {
  const uint64_t messages = counters.messages;
  const bool accounted = counters.Settled() == messages && driver.posted == messages &&
                         driver.answered + driver.notWanted + driver.failedBack == messages;
  char marker[64] = "";
  if (interruptedAfter) {
    std::snprintf(marker, sizeof marker, " (interrupted after %.1f s, heartbeat phase included)",
                  *interruptedAfter);
  }
  console.Line(
      "summary%s: %llu messages posted in %.1f s (%.0f/s), %llu oversized (over 1020 bytes)",
      marker, static_cast<ull>(messages), result.seconds,
      static_cast<double>(messages) / result.seconds, static_cast<ull>(counters.oversized.load()));
  PrintOutcomes(console, counters, driver, accounted);
  PrintLatency(console, std::move(result.latenciesUs));
  PrintLibraryOutput(console, library);
  return accounted;
}

}  // namespace demo
