// Little-endian word access at literal offsets of the driver's records.
#ifndef QUORVEL_SIM_DRIVER_WIRE_ACCESS_H_
#define QUORVEL_SIM_DRIVER_WIRE_ACCESS_H_

#include <cstdint>
#include <cstring>
#include <vector>

namespace qrv {
namespace sim {
namespace wire {

// REQUIRES: offset + 4 <= bytes.size().
inline uint32_t ReadWord(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes.data() + offset, sizeof(word));
  return word;
}

inline void WriteWord(void* out, uint32_t word) { std::memcpy(out, &word, sizeof(word)); }

}  // namespace wire
}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_WIRE_ACCESS_H_
