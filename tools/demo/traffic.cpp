#include "traffic.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "sim/driver/sim_driver.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;
using qrv::sim::Message;
using qrv::sim::Outcome;

constexpr auto kReplyTimeout = std::chrono::seconds(10);
// Latencies kept per sender for the percentiles; a longer run keeps a
// uniform sample of this many, so that its memory stays bounded.
constexpr size_t kLatencySamples = 1 << 13;

struct InFlight {
  std::shared_ptr<Message> message;
  Clock::time_point posted;
};

class Sender {
 public:
  Sender(uint32_t serviceId, const SampleService& service, const TrafficOptions& options,
         TrafficCounters& counters)
      : serviceId_(serviceId),
        service_(service),
        options_(options),
        counters_(counters),
        random_(serviceId * 7919u + 1) {}

  void Run(Clock::time_point deadline, const std::atomic<bool>& stop) {
    for (;;) {
      const bool posting = Clock::now() < deadline && !stop.load(std::memory_order_relaxed);
      if (!posting && inFlight_.empty()) return;
      if (posting && inFlight_.size() < options_.window) {
        Post();
      } else {
        Collect();
      }
    }
  }

  std::vector<double> latencies;

 private:
  std::vector<uint8_t> Payload() {
    const bool large = random_() % 100 < options_.oversizedPercent;
    const uint32_t low = large ? options_.maxSmall + 1 : 0;
    const uint32_t high = large ? options_.maxLarge : options_.maxSmall;
    std::vector<uint8_t> payload(low + random_() % (high - low + 1));
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random_());
    if (large) counters_.oversized++;
    return payload;
  }

  void Post() {
    const uint32_t header = random_() % 100 < options_.noReplyPercent ? 0 : ++sequence_;
    inFlight_.push_back(
        {qrv::sim::SimDriver::Instance().Post(serviceId_, header, Payload()), Clock::now()});
    counters_.messages++;
  }

  void Collect() {
    InFlight oldest = inFlight_.front();
    inFlight_.pop_front();
    const bool final = oldest.message->WaitFinal(
        std::chrono::duration_cast<std::chrono::milliseconds>(kReplyTimeout));
    RecordLatency(std::chrono::duration<double, std::micro>(Clock::now() - oldest.posted).count());
    Tally(final, *oldest.message)++;
  }

  // Reservoir sampling: every latency so far has the same chance to be kept.
  void RecordLatency(double us) {
    ++collected_;
    if (latencies.size() < kLatencySamples) {
      latencies.push_back(us);
      return;
    }
    const uint64_t slot = std::uniform_int_distribution<uint64_t>(0, collected_ - 1)(random_);
    if (slot < kLatencySamples) latencies[slot] = us;
  }

  std::atomic<uint64_t>& Tally(bool final, const Message& message) const {
    if (!final) return counters_.wrong;
    switch (message.outcome()) {
      case Outcome::kFailedBack:
        return counters_.failedBack;
      case Outcome::kNotWanted:
        return message.header() == 0 ? counters_.notWanted : counters_.wrong;
      case Outcome::kAnswered:
        return message.header() != 0 && message.reply() == service_.expected(message.payload())
                   ? counters_.verified
                   : counters_.wrong;
      default:
        return counters_.wrong;
    }
  }

  const uint32_t serviceId_;
  const SampleService& service_;
  const TrafficOptions& options_;
  TrafficCounters& counters_;
  std::minstd_rand random_;
  uint32_t sequence_ = 0;
  uint64_t collected_ = 0;
  std::deque<InFlight> inFlight_;
};

}  // namespace

TrafficResult RunTraffic(const TrafficOptions& options, const std::vector<SampleService>& services,
                         TrafficCounters& counters, const StatusCallback& status,
                         const std::atomic<bool>& stop) {
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(options.seconds));
  std::vector<std::unique_ptr<Sender>> senders;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options.services; ++i) {
    senders.push_back(
        std::make_unique<Sender>(i, services[i % services.size()], options, counters));
    threads.emplace_back(
        [&sender = *senders.back(), deadline, &stop] { sender.Run(deadline, stop); });
  }
  std::mutex mu;
  std::condition_variable finished;
  bool done = false;
  // Past the deadline the senders only collect; the caller's final line
  // shows that state, so no periodic line repeats it with older figures.
  std::thread ticker([&] {
    std::unique_lock<std::mutex> lock(mu);
    while (!finished.wait_for(lock, std::chrono::seconds(1), [&] { return done; })) {
      const auto now = Clock::now();
      if (now < deadline && !stop) status(std::chrono::duration<double>(now - start).count());
    }
  });
  for (auto& thread : threads) thread.join();
  {
    std::lock_guard<std::mutex> lock(mu);
    done = true;
  }
  finished.notify_all();
  ticker.join();
  TrafficResult result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const auto& sender : senders) {
    result.latenciesUs.insert(result.latenciesUs.end(), sender->latencies.begin(),
                              sender->latencies.end());
  }
  return result;
}

}  // namespace demo
