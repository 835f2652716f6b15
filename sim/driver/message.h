// One message posted to a service through the simulated driver, as its sender
// sees it.
#ifndef QUORVEL_SIM_DRIVER_MESSAGE_H_
#define QUORVEL_SIM_DRIVER_MESSAGE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qrv {
namespace sim {

// Where a message stands. kAnswered, kNotWanted and kFailedBack are final:
// every posted message reaches exactly one of them, once.
enum class Outcome {
  kQueued,     // waiting on its port for a receive
  kAssigned,   // reported too small to one slot, which gets it next
  kDelivered,  // copied to a receiver; waits for that slot's reply
  kAnswered,   // the reply arrived; reply() holds its bytes
  kNotWanted,  // delivered with Header 0: no reply expected
  kFailedBack  // the driver gave it up: no port, port freed, reply failed
};

const char* OutcomeName(Outcome outcome);

// Shared between the driver and whoever posted it. The identity fields are
// fixed at construction; the state is guarded by the message's own mutex, a
// leaf lock that the driver may take while it holds its own.
class Message {
 public:
  static constexpr uint32_t kNoThread = 0xFFFFFFFFu;

  Message(uint32_t id, uint32_t serviceId, uint32_t header, std::vector<uint8_t> payload);
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  uint32_t id() const { return id_; }
  uint32_t serviceId() const { return serviceId_; }
  uint32_t header() const { return header_; }
  const std::vector<uint8_t>& payload() const { return payload_; }

  Outcome outcome() const;
  bool IsFinal() const;
  // Blocks until the outcome is final or the timeout passes; true if final.
  bool WaitFinal(std::chrono::milliseconds timeout) const;
  // The reply's bytes; empty unless answered (or answered empty).
  std::vector<uint8_t> reply() const;
  // The slot it was last assigned or delivered to; kNoThread before that.
  uint32_t threadIndex() const;

  // Driver side. REQUIRES: the transition is legal (no change after final).
  void MoveTo(Outcome outcome, uint32_t threadIndex);
  void Answer(std::vector<uint8_t> reply);

 private:
  const uint32_t id_;
  const uint32_t serviceId_;
  const uint32_t header_;
  const std::vector<uint8_t> payload_;

  mutable std::mutex mu_;
  mutable std::condition_variable finalCv_;
  Outcome outcome_ = Outcome::kQueued;
  uint32_t threadIndex_ = kNoThread;
  std::vector<uint8_t> reply_;
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_MESSAGE_H_
