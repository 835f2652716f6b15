// One message posted to a service through the simulated driver, as its
// sender sees it: a view of the message's record in the port model.
#ifndef QUORVEL_SIM_DRIVER_MESSAGE_H_
#define QUORVEL_SIM_DRIVER_MESSAGE_H_

#include <chrono>
#include <cstdint>
#include <vector>

namespace qrv {
namespace sim {

class ModelGlue;

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

// Thread-safe. The identity fields are fixed at construction; the state is
// read from the driver on every call. Destroying the view lets the driver
// forget the message once it is final.
class Message {
 public:
  static constexpr uint32_t kNoThread = 0xFFFFFFFFu;

  // `glue` null or `id` 0: a message the driver refused at posting (no port
  // for the service, or a malformed post), failed back at once.
  Message(ModelGlue* glue, uint32_t id, uint32_t serviceId, uint32_t header,
          std::vector<uint8_t> payload);
  ~Message();
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
  // The reply's bytes (the first 64 KiB of a longer one); empty unless
  // answered (or answered empty).
  std::vector<uint8_t> reply() const;
  // The slot it was last assigned or delivered to; kNoThread before that.
  uint32_t threadIndex() const;

 private:
  struct State {
    Outcome outcome;
    uint32_t threadIndex;
    uint32_t replyLength;
  };
  State Read() const;
  // REQUIRES: inside ModelGlue::Locked or a WaitUntil predicate.
  State ReadLocked() const;

  ModelGlue* const glue_;
  const uint32_t id_;
  const uint32_t serviceId_;
  const uint32_t header_;
  const std::vector<uint8_t> payload_;
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_MESSAGE_H_
