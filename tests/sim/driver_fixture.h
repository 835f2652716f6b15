// Fixtures that give each test a clean view of the process-wide simulated
// driver: attached, no faults, no hook, and counters taken as deltas.
#ifndef QUORVEL_TESTS_SIM_DRIVER_FIXTURE_H_
#define QUORVEL_TESTS_SIM_DRIVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "sim/driver/sim_driver.h"
#include "tests/sim/device_client.h"

namespace qrv {
namespace sim {
namespace test {

constexpr std::chrono::seconds kTimeout(10);

// The counters gained since `base`; inFlight is taken as it is now.
Counters Since(const Counters& base, const Counters& now);

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  SimDriver& driver() { return SimDriver::Instance(); }
  Counters Delta() { return Since(base_, driver().counters()); }

  std::unique_ptr<DeviceClient> client_;
  Counters base_;
};

// A service port of service kService with kThreads slots, all bound.
class ServicePortTest : public DriverTest {
 protected:
  static constexpr uint32_t kService = 2;
  static constexpr uint32_t kThreads = 3;

  void SetUp() override;

  PendingReceive& Receive(uint32_t threadIndex, DWORD size = 1024, uint8_t largeBuffer = 0);
  // Issues a receive that must pend (the driver holds it once Issue returns).
  PendingReceive& PendReceive(uint32_t threadIndex, DWORD size = 1024);

  uint32_t port_ = 16;
  std::vector<std::unique_ptr<PendingReceive>> receives_;
};

}  // namespace test
}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_TESTS_SIM_DRIVER_FIXTURE_H_
