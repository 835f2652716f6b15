#include "summary.h"

#include <algorithm>
#include <cstdio>

namespace demo {
namespace {

double Percentile(std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

}  // namespace

void PrintSummary(const TrafficCounters& counters, TrafficResult result) {
  std::sort(result.latenciesUs.begin(), result.latenciesUs.end());
  const double messages = static_cast<double>(counters.messages.load());
  std::printf("summary:\n");
  std::printf("  messages          %llu\n", static_cast<unsigned long long>(counters.messages));
  std::printf("  replies verified  %llu\n", static_cast<unsigned long long>(counters.verified));
  std::printf("  oversized         %llu\n", static_cast<unsigned long long>(counters.oversized));
  std::printf("  failures          %llu\n", static_cast<unsigned long long>(counters.failures));
  std::printf("  throughput        %.0f messages/s\n", messages / result.seconds);
  std::printf("  latency p50       %.0f us\n", Percentile(result.latenciesUs, 0.50));
  std::printf("  latency p99       %.0f us\n", Percentile(result.latenciesUs, 0.99));
}

}  // namespace demo
