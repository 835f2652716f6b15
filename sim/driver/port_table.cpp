#include "sim/driver/port_table.h"

namespace qrv {
namespace sim {

std::shared_ptr<Message> Port::TakeFor(uint32_t index) {
  Slot& slot = slots[index];
  if (slot.assigned) return std::move(slot.assigned);
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (!it->Fits(index)) continue;
    std::shared_ptr<Message> message = std::move(it->message);
    queue.erase(it);
    return message;
  }
  return nullptr;
}

size_t Port::PendingReceives() const {
  size_t count = 0;
  for (const Slot& slot : slots) count += slot.pending ? 1 : 0;
  return count;
}

std::optional<uint32_t> PortTable::Open(uint8_t kind, uint32_t serviceId, uint32_t threadCount) {
  for (uint32_t number = 0; number < ports_.size(); ++number) {
    Port& port = ports_[number];
    if (port.open) continue;
    port = Port();
    port.open = true;
    port.kind = kind;
    port.serviceId = serviceId;
    port.generation = nextGeneration_++;
    port.slots.resize(threadCount);
    return number;
  }
  return std::nullopt;
}

Port* PortTable::Find(uint32_t number, uint8_t kind) {
  if (number >= ports_.size()) return nullptr;
  Port& port = ports_[number];
  return port.open && port.kind == kind ? &port : nullptr;
}

Slot* PortTable::FindBoundSlot(uint32_t number, uint32_t index) {
  Port* port = Find(number, wire::kKindService);
  if (port == nullptr || index >= port->slots.size()) return nullptr;
  Slot& slot = port->slots[index];
  return slot.bound ? &slot : nullptr;
}

std::optional<uint32_t> PortTable::ServicePortNumber(uint32_t serviceId) const {
  std::optional<uint32_t> newest;
  for (uint32_t number = 0; number < ports_.size(); ++number) {
    const Port& port = ports_[number];
    if (!port.open || port.kind != wire::kKindService || port.serviceId != serviceId) continue;
    if (!newest || port.generation > ports_[*newest].generation) newest = number;
  }
  return newest;
}

Port* PortTable::ServicePort(uint32_t serviceId) {
  const std::optional<uint32_t> number = ServicePortNumber(serviceId);
  return number ? &ports_[*number] : nullptr;
}

}  // namespace sim
}  // namespace qrv
