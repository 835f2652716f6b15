// Streams messages through the simulated driver to registered services and
// checks every reply.
#ifndef QUORVEL_TOOLS_DEMO_TRAFFIC_H_
#define QUORVEL_TOOLS_DEMO_TRAFFIC_H_

#include <atomic>
#include <cstdint>
#include <vector>

#include "sample_services.h"

namespace demo {

struct TrafficOptions {
  double seconds = 5;
  unsigned services = 3;          // one sender per service
  uint32_t maxSmall = 1020;       // largest payload that fits the 1024-byte buffer
  uint32_t maxLarge = 64 * 1024;  // largest oversized payload
  unsigned oversizedPercent = 20;
  unsigned noReplyPercent = 10;  // messages sent with header 0
  unsigned window = 6;           // messages in flight per service
};

// Counters shared by the senders and the status line.
struct TrafficCounters {
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> verified{0};  // replies that matched, and unwanted ones delivered
  std::atomic<uint64_t> oversized{0};
  std::atomic<uint64_t> failures{0};  // wrong reply, failed back, or no answer in time
};

struct TrafficResult {
  double seconds = 0;
  std::vector<double> latenciesUs;  // post to final outcome; a bounded sample
};

// Runs the senders for the configured time; services[i] is served under
// service id i. Prints a status line to stdout every second.
TrafficResult RunTraffic(const TrafficOptions& options, const std::vector<SampleService>& services,
                         TrafficCounters& counters);

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_TRAFFIC_H_
