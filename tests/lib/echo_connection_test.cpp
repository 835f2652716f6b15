// The echo connection driven directly, as the factory and Init drive it.
#include "connection/echo_connection.h"

#include <atomic>
#include <chrono>

#include "diagnostics/log_channel.h"
#include "library_fixture.h"
#include "platform/posix/device.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

// Counts the heartbeat's teardowns; there are no services to end.
struct CountingTeardown final : IServiceTeardown {
  bool TearDownServices(HANDLE) override {
    ++calls;
    return true;
  }
  std::atomic<int> calls{0};
};

class EchoConnectionTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_GE(LogChannel::Instance().Open(), 0);
    device_ = CreateFileW(kControlDevicePath, kControlDeviceAccess, 0, nullptr,
                          kControlDeviceDisposition, kControlDeviceFlags, nullptr);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    qrv::posix::ClearCreationFailures();
    CloseHandle(device_);
    LogChannel::Instance().Shutdown();
  }

  // Create's failure message for an injected creation failure (error 8).
  std::vector<std::string> CreateFailure(bool failThread, unsigned skippedEvents) {
    if (failThread) {
      qrv::posix::FailThreadCreation(0, ERROR_NOT_ENOUGH_MEMORY);
    } else {
      qrv::posix::FailEventCreation(skippedEvents, ERROR_NOT_ENOUGH_MEMORY);
    }
    CNUcEchoConnection echo(teardown_);
    EXPECT_EQ(echo.Create(15, 1, device_, nullptr, nullptr), 0);
    echo.Close();
    EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);  // after Close: no handle left, none waited on
    return Texts();
  }

  HANDLE device_ = INVALID_HANDLE_VALUE;
  CountingTeardown teardown_;
};

}  // namespace

TEST_F(EchoConnectionTest, CreateRejectsBadArgumentsSilently) {
  CNUcEchoConnection echo(teardown_);
  EXPECT_EQ(echo.Create(15, 0, device_, nullptr, nullptr), 0);
  EXPECT_EQ(echo.Create(15, 2, device_, nullptr, nullptr), 0);
  EXPECT_EQ(echo.Create(15, 1, INVALID_HANDLE_VALUE, nullptr, nullptr), 0);
  echo.Close();
  EXPECT_TRUE(Texts().empty());
}

TEST_F(EchoConnectionTest, EveryCreateFailureIsLoggedWithTheLastError) {
  EXPECT_EQ(CreateFailure(false, 0),
            std::vector<std::string>{"quorvel: fail to create event_0, error code 8"});
  Sink().ClearRecords();
  EXPECT_EQ(CreateFailure(false, 1),
            std::vector<std::string>{"quorvel: fail to create event_1, error code 8"});
  Sink().ClearRecords();
  EXPECT_EQ(CreateFailure(true, 0),
            std::vector<std::string>{"quorvel: fail to create ehco thread, error code 8"});
  EXPECT_EQ(Sink().Records().at(0).format, "%s%x");
}

TEST_F(EchoConnectionTest, StartIsIdempotentAndStopRepeatsHarmlessly) {
  CNUcEchoConnection echo(teardown_);
  ASSERT_EQ(echo.Create(15, 1, device_, nullptr, nullptr), 1);
  EXPECT_FALSE(echo.IsRunning());
  ASSERT_EQ(echo.Start(), 1);
  ASSERT_EQ(echo.Start(), 1);
  EXPECT_TRUE(echo.IsRunning());
  EXPECT_EQ(RequestsOf(wire::kCreateEchoPort).size(), 1u);
  // Stopped before its first wait, the thread would end silently instead.
  ASSERT_TRUE(Driver().WaitForRequests(wire::kEcho, 1, kWait));
  EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);
  EXPECT_FALSE(echo.IsRunning());
  EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);  // the thread has ended already
  echo.Close();
  echo.Close();
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 1u);
  EXPECT_EQ(Sink().CountText("quorvel: stop echo."), 1);
  ExpectText("quorvel: echo disconnected.");
  ExpectText("quorvel: echo quit.");
}

TEST_F(EchoConnectionTest, RefusedPortLeavesTheThreadWaitingSilently) {
  Driver().OverridePortAnswer(wire::kCreateEchoPort, std::nullopt);  // success, no answer
  CNUcEchoConnection echo(teardown_);
  ASSERT_EQ(echo.Create(15, 1, device_, nullptr, nullptr), 1);
  EXPECT_EQ(echo.Start(), 0);
  EXPECT_FALSE(echo.IsRunning());
  EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);
  echo.Close();
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("quorvel: create echo port failed, error code ", 0), 0u);
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 0u);
  EXPECT_EQ(RequestsOf(wire::kEcho).size(), 0u);
}

TEST_F(EchoConnectionTest, StopAfterAHeartbeatLossStillClosesThePort) {
  Driver().FaultPingsAfter(0, qrv::sim::PingFault::kFail);
  CNUcEchoConnection echo(teardown_);
  ASSERT_EQ(echo.Create(15, 1, device_, nullptr, nullptr), 1);
  ASSERT_EQ(echo.Start(), 1);
  ExpectText("quorvel: echo quit.");
  EXPECT_TRUE(WaitUntil([&] { return !echo.IsRunning(); })) << "the echo thread never ended";
  EXPECT_EQ(teardown_.calls, 1);
  EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);
  echo.Close();
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 1u);
  EXPECT_EQ(Sink().CountText("quorvel: stop echo."), 1);
  EXPECT_EQ(Sink().CountText("quorvel: echo disconnected."), 0);
}

// A ping the driver holds for a minute does not hold the stop: the stop
// cancels it (a stop that waited for it would see it completed), and the
// still-waiting line, logged only while a stop waits, never comes.
TEST_F(EchoConnectionTest, StopCancelsAHeldPingWithoutAStillWaitingLine) {
  CNUcEchoConnection echo(teardown_);
  ASSERT_EQ(echo.Create(15, 1, device_, nullptr, nullptr), 1);
  Driver().DelayRequests(wire::kEcho, std::chrono::minutes(1));
  ASSERT_EQ(echo.Start(), 1);
  ASSERT_TRUE(Driver().WaitForRequests(wire::kEcho, 1, kWait));
  EXPECT_EQ(echo.Stop(), WAIT_OBJECT_0);
  const auto pings = RequestsOf(wire::kEcho);
  ASSERT_FALSE(pings.empty());
  EXPECT_EQ(pings[0].status.value_or(0), qrv::posix::kStatusCancelled)
      << "the stop waited for the held ping";
  echo.Close();
  EXPECT_TRUE(TextsStartingWith("quorvel: still waiting for service[15]").empty());
}

}  // namespace qrv
