#include "tests/sim/driver_fixture.h"

namespace qrv {
namespace sim {
namespace test {

Counters Since(const Counters& base, const Counters& now) {
  Counters delta;
  delta.posted = now.posted - base.posted;
  delta.answered = now.answered - base.answered;
  delta.notWanted = now.notWanted - base.notWanted;
  delta.failedBack = now.failedBack - base.failedBack;
  delta.inFlight = now.inFlight;
  delta.pings = now.pings - base.pings;
  delta.pingFailures = now.pingFailures - base.pingFailures;
  delta.receives = now.receives - base.receives;
  delta.pendedReceives = now.pendedReceives - base.pendedReceives;
  delta.tooSmallReports = now.tooSmallReports - base.tooSmallReports;
  delta.replies = now.replies - base.replies;
  delta.replyFailures = now.replyFailures - base.replyFailures;
  delta.portsAllocated = now.portsAllocated - base.portsAllocated;
  delta.portsFreed = now.portsFreed - base.portsFreed;
  delta.binds = now.binds - base.binds;
  return delta;
}

void DriverTest::SetUp() {
  driver().Attach();
  driver().ClearFaults();
  driver().SetRequestHook(nullptr);
  driver().ClearRequestLog();
  base_ = driver().counters();
  client_ = std::make_unique<DeviceClient>();
  ASSERT_TRUE(client_->valid()) << "cannot open the device, error " << GetLastError();
}

void DriverTest::TearDown() {
  client_->Close();  // flushes every port, completing what is still pending
  driver().ClearFaults();
  driver().SetRequestHook(nullptr);
}

void ServicePortTest::SetUp() {
  DriverTest::SetUp();
  Answer port = client_->AllocatePort(kService, kThreads);
  ASSERT_TRUE(port.ok) << port.error;
  port_ = port.word;
  for (uint32_t i = 0; i < kThreads; ++i) ASSERT_EQ(client_->Bind(port_).word, i);
}

PendingReceive& ServicePortTest::Receive(uint32_t threadIndex, DWORD size, uint8_t largeBuffer) {
  receives_.push_back(
      std::make_unique<PendingReceive>(client_->handle(), port_, threadIndex, size, largeBuffer));
  return *receives_.back();
}

PendingReceive& ServicePortTest::PendReceive(uint32_t threadIndex, DWORD size) {
  PendingReceive& receive = Receive(threadIndex, size);
  EXPECT_FALSE(receive.Issue());
  EXPECT_EQ(receive.error(), ERROR_IO_PENDING);
  return receive;
}

}  // namespace test
}  // namespace sim
}  // namespace qrv
