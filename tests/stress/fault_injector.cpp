#include "fault_injector.h"

#include <optional>

#include "sim/driver/sim_driver.h"

namespace {

using namespace qrv::sim;
using qrv::posix::StatusFromWin32Error;

// A port or thread index the driver never hands out, or none at all. Never
// one in range: a worker bound to a slot another worker holds would take
// that worker's replies, a fault the library cannot see.
std::optional<uint32_t> WrongAnswer(std::mt19937_64& random) {
  switch (random() % 3) {
    case 0:
      return std::nullopt;
    case 1:
      return wire::kMaxPorts;
    default:
      return 0xFFFFFFFFu - static_cast<uint32_t>(random() % 0x1000);
  }
}

}  // namespace

void InjectRandomFault(std::mt19937_64& random) {
  SimDriver& driver = SimDriver::Instance();
  const unsigned count = 1 + random() % 3;
  const bool pending = random() % 2 == 0;
  switch (random() % 13) {
    case 0:
      return driver.FailReceives(count, qrv::posix::kStatusUnsuccessful,
                                 pending ? FaultPath::kPending : FaultPath::kImmediate);
    case 1:
      return driver.FailReplies(count);
    case 2:
      return driver.OverridePortAnswer(wire::kAllocatePort, WrongAnswer(random), count);
    case 3:
      return driver.FailPortRequests(pending ? wire::kAllocatePort : wire::kCreateEchoPort, 1);
    case 4:
      return driver.OverrideBindAnswer(WrongAnswer(random), count);
    case 5:
      return driver.ReportHostileSizes(
          count, pending ? HostileSize::kBelowHeader : HostileSize::kNoLarger);
    case 6:
      return driver.ShortCompletions(count, static_cast<DWORD>(random() % 4));
    case 7:
      return driver.InflateCompletions(count, static_cast<DWORD>(1 + random() % 64));
    case 8:
      return driver.SetTooSmallStatus(pending ? qrv::posix::kStatusBufferTooSmall
                                              : StatusFromWin32Error(111));
    case 9:
      // The heartbeat fails for good until the faults are cleared: rare.
      if (random() % 8 == 0) {
        driver.FaultPingsAfter(static_cast<unsigned>(random() % 3),
                               pending ? PingFault::kFail : PingFault::kWrongWord, 0x1234);
      }
      return;
    case 10:
      driver.CompletePendingReceives(static_cast<uint32_t>(random() % wire::kMaxPorts),
                                     qrv::posix::kStatusCancelled);
      return;
    case 11:
      return driver.OverridePortAnswer(wire::kCreateEchoPort, WrongAnswer(random), 1);
    default:
      return driver.ClearFaults();
  }
}
