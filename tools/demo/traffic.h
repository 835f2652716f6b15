// Streams messages through the simulated driver to registered services and
// checks every reply.
#ifndef QUORVEL_TOOLS_DEMO_TRAFFIC_H_
#define QUORVEL_TOOLS_DEMO_TRAFFIC_H_

#include <atomic>
#include <cstdint>
#include <functional>
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

// Counters shared by the senders and the status line. Every posted message
// ends in exactly one of verified, notWanted, failedBack and wrong once the
// run is over; oversized counts across them.
struct TrafficCounters {
  std::atomic<uint64_t> messages{0};
  std::atomic<uint64_t> verified{0};    // answered, and the reply matched byte for byte
  std::atomic<uint64_t> notWanted{0};   // header 0, delivered, no reply expected
  std::atomic<uint64_t> failedBack{0};  // the driver gave it up
  std::atomic<uint64_t> wrong{0};       // a wrong reply, or no final outcome in time
  std::atomic<uint64_t> oversized{0};   // payload over the first receive buffer

  uint64_t Settled() const { return verified + notWanted + failedBack + wrong; }
  uint64_t Failures() const { return failedBack + wrong; }
};

struct TrafficResult {
  double seconds = 0;
  std::vector<double> latenciesUs;  // post to final outcome; a bounded sample
};

// Called once a second while messages are still being posted, with the
// seconds elapsed; not after the last post (the caller shows the final state).
using StatusCallback = std::function<void(double elapsed)>;

// Runs the senders for the configured time, or until `stop` is set, and
// waits for every message posted to end; services[i] is served under
// service id i.
TrafficResult RunTraffic(const TrafficOptions& options, const std::vector<SampleService>& services,
                         TrafficCounters& counters, const StatusCallback& status,
                         const std::atomic<bool>& stop);

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_TRAFFIC_H_
