// The simulated driver's ports: which are open, their thread slots and their
// message queues. Plain data with lookups; the driver guards it with its lock
// and performs every completion itself.
#ifndef QUORVEL_SIM_DRIVER_PORT_TABLE_H_
#define QUORVEL_SIM_DRIVER_PORT_TABLE_H_

#include <array>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/posix/device.h"
#include "sim/driver/message.h"
#include "sim/driver/wire_tables.h"

namespace qrv {
namespace sim {

// A receive the driver owns until it completes it.
struct PendingReceive {
  posix::IoRequest* request = nullptr;
  uint64_t sequence = 0;                 // its entry in the request log
  std::optional<posix::NTSTATUS> fault;  // completes with this instead
};

struct Slot {
  bool bound = false;
  std::optional<PendingReceive> pending;
  std::shared_ptr<Message> assigned;     // reported too small; next receive gets it
  std::shared_ptr<Message> outstanding;  // delivered, awaits the reply
};

struct QueuedMessage {
  std::shared_ptr<Message> message;
  std::optional<uint32_t> slot;  // only this slot may take it
  bool Fits(uint32_t index) const { return !slot || *slot == index; }
};

struct Port {
  bool open = false;
  uint8_t kind = wire::kKindService;
  uint32_t serviceId = 0;
  uint64_t generation = 0;  // allocation order, so a service's newest port wins
  std::vector<Slot> slots;  // ThreadCount of them
  uint32_t nextBind = 0;
  uint32_t nextDelivery = 0;  // round-robin start over the slots
  std::deque<QueuedMessage> queue;

  // The message a receive on the slot takes at once: its assigned message,
  // else the first queued one it may take (removed from the queue).
  std::shared_ptr<Message> TakeFor(uint32_t index);
  size_t PendingReceives() const;
};

class PortTable {
 public:
  PortTable() = default;
  PortTable(const PortTable&) = delete;
  PortTable& operator=(const PortTable&) = delete;

  // Opens the lowest free port; empty when all are taken.
  std::optional<uint32_t> Open(uint8_t kind, uint32_t serviceId, uint32_t threadCount);
  // The open port with that number and kind, or null.
  Port* Find(uint32_t number, uint8_t kind);
  // The bound slot of an open service port, or null.
  Slot* FindBoundSlot(uint32_t number, uint32_t index);
  // The number of the service's newest open service port, if any.
  std::optional<uint32_t> ServicePortNumber(uint32_t serviceId) const;
  // That port itself, or null.
  Port* ServicePort(uint32_t serviceId);
  Port& operator[](uint32_t number) { return ports_[number]; }

 private:
  std::array<Port, wire::kMaxPorts> ports_;
  uint64_t nextGeneration_ = 1;
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_PORT_TABLE_H_
