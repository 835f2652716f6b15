// The faults armed on the simulated driver. Plain data guarded by the
// driver's lock.
#ifndef QUORVEL_SIM_DRIVER_FAULT_PLAN_H_
#define QUORVEL_SIM_DRIVER_FAULT_PLAN_H_

#include <chrono>
#include <map>
#include <optional>

#include "sim/driver/sim_driver.h"

namespace qrv {
namespace sim {

// A fault that applies to the next `remaining` matching requests, each of
// which takes one with Take().
template <typename T>
struct Armed {
  unsigned remaining = 0;
  T value{};

  void Arm(unsigned count, T v) {
    remaining = count;
    value = v;
  }
  std::optional<T> Take() {
    if (remaining == 0) return std::nullopt;
    --remaining;
    return value;
  }
};

struct FaultPlan {
  std::map<DWORD, Armed<std::optional<uint32_t>>> portAnswers;  // by code
  std::map<DWORD, Armed<NTSTATUS>> portFailures;                // by code
  Armed<std::optional<uint32_t>> bindAnswer;

  // Empty: pings are healthy. Otherwise the good pings left before the fault.
  std::optional<unsigned> goodPingsLeft;
  PingFault pingFault = PingFault::kFail;
  uint32_t wrongPingWord = 0;

  Armed<NTSTATUS> immediateReceiveFailures;
  Armed<NTSTATUS> pendingReceiveFailures;
  NTSTATUS tooSmallStatus = posix::kStatusBufferTooSmall;
  Armed<HostileSize> hostileSizes;
  Armed<DWORD> shortCompletions;    // value: the byte count to report
  Armed<DWORD> inflateCompletions;  // value: bytes beyond the output length
  Armed<NTSTATUS> replyFailures;
  std::map<DWORD, Armed<std::chrono::milliseconds>> delays;  // by code
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_FAULT_PLAN_H_
