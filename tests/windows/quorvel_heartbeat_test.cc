// A lost heartbeat through the shipped QUORVEL.DLL: the reference driver
// fails a ping, the echo thread stops every service connection, and the
// library stays initialised for the entry points.
#include <string>

#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

class Heartbeat : public HostTest {
 protected:
  // Registers services 1 and 2 (ports 1 and 2; the echo holds 0) and waits
  // until all six workers have a receive pending.
  void RegisterTwoServices() {
    HostService& service = NewService();
    ASSERT_EQ(Register(1, service), QUORVEL_OK);
    ASSERT_EQ(Register(2, service), QUORVEL_OK);
    ASSERT_EQ(PortOf(1), 1u);
    ASSERT_EQ(PortOf(2), 2u);
    ASSERT_TRUE(WaitForPendingReceives(1, 3) && WaitForPendingReceives(2, 3))
        << "the workers never received";
  }

  // What the echo thread logs when a ping fails, in its order, and each
  // worker's two lines as the freed port ends its receive.
  void ExpectServicesTornDown() {
    ExpectText("quorvel: echo quit.");
    std::vector<std::string> echoThread;
    for (const std::string& text : Texts()) {
      if (text.rfind("quorvel: echo", 0) == 0 || text.rfind("quorvel: free port[", 0) == 0)
        echoThread.push_back(text);
    }
    EXPECT_EQ(echoThread, (std::vector<std::string>{
                              "quorvel: echo error.", "quorvel: free port[1] for service[1]",
                              "quorvel: free port[2] for service[2]", "quorvel: echo quit."}));
    for (int service = 1; service <= 2; ++service) {
      for (int thread = 0; thread < 3; ++thread) {
        const std::string where = "service[" + std::to_string(service) + "] port[" +
                                  std::to_string(service) + "] thread[" + std::to_string(thread) +
                                  "]";
        EXPECT_EQ(CountText("quorvel: connection disconnected. " + where), 1) << where;
        EXPECT_EQ(CountText("quorvel: " + where + " quit."), 1) << where;
      }
    }
    EXPECT_EQ(PortOf(1), QRVCTL_NO_PORT);
    EXPECT_EQ(PortOf(2), QRVCTL_NO_PORT);
    EXPECT_EQ(RequestsOf(kFreePort).size(), 2u);
  }
};

TEST_F(Heartbeat, WrongWordTearsServicesDownAndKeepsTheLibraryInitialised) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  RegisterTwoServices();
  Arm(QRVCTL_FAULT_PING_WORD, 0, 1, 0x12345678u);
  ExpectServicesTornDown();

  // The library is still initialised, without the services.
  HostService& again = NewService();
  Sink().ClearRecords();
  EXPECT_EQ(Unregister(1), QUORVEL_E_FAIL);
  const auto records = Sink().Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].format, "%s%d%s");
  EXPECT_EQ(records[0].text,
            "quorvel-Unregister( 1 ): connection hasn't been registered or has been removed.");
  EXPECT_EQ(Register(1, again), QUORVEL_OK);
  ExpectText("quorvel-Register( 1 ): success.");
  EXPECT_EQ(AwaitOutcome(Post(1, 1, Bytes(16, 4))).reply, Bytes(16, 4));

  // The echo connection is still started: its Stop closes the echo port.
  Sink().ClearRecords();
  UnInit();
  EXPECT_EQ(RequestsOf(kCloseEchoPort).size(), 1u);
  EXPECT_EQ(CountText("quorvel: stop echo."), 1);
  EXPECT_EQ(CountText("quorvel: echo disconnected."), 0) << "the echo thread had ended";
}

TEST_F(Heartbeat, FailedPingCallIsAHeartbeatFailureToo) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  RegisterTwoServices();
  ASSERT_TRUE(WaitUntil([&] { return !RequestsOf(kEcho).empty(); })) << "no first ping";
  Arm(QRVCTL_FAULT_PING_STATUS, 0, 1, kStatusInvalidDeviceState);
  ExpectServicesTornDown();
  EXPECT_GE(Counters().pings, 2u);
  const auto pings = RequestsOf(kEcho);
  ASSERT_FALSE(pings.empty());
  EXPECT_EQ(pings.back().status, kStatusInvalidDeviceState);
  EXPECT_NE(pings.back().flags & QRVCTL_LOG_FAULT, 0u);
}

// A ping the driver holds without end is what the heartbeat exists to
// catch: after one period the echo thread cancels it (the driver completes
// it as cancelled, so the end came from the library, however late) and
// tears the services down, and UnInit returns.
TEST_F(Heartbeat, PingHeldWithoutReleaseIsCancelledAfterAPeriod) {
  constexpr uint32_t kHeldMs = 600000;
  constexpr uint32_t kStatusCancelled = 0xC0000120u;
  ASSERT_EQ(Init(), QUORVEL_OK);
  RegisterTwoServices();
  Arm(QRVCTL_FAULT_PEND_REQUEST, 0, QRVCTL_FAULT_FOREVER, kEcho, 0, kHeldMs);
  ExpectText("quorvel: echo error.");
  ExpectServicesTornDown();
  std::vector<uint32_t> completions;
  for (const auto& entry : DriverLog()) {
    if (entry.code == kEcho && entry.flags == QRVCTL_LOG_COMPLETION)
      completions.push_back(entry.status);
  }
  ASSERT_FALSE(completions.empty()) << "the held ping never completed";
  EXPECT_EQ(completions.back(), kStatusCancelled);
}

// A ping the driver completes without writing its answer is a lost
// heartbeat too; the next Init replaces the ended echo connection, so that
// its success means a heartbeat again.
TEST_F(Heartbeat, UnansweredPingIsLostAndTheNextInitRestartsTheHeartbeat) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  RegisterTwoServices();
  ASSERT_TRUE(WaitUntil([&] { return !RequestsOf(kEcho).empty(); })) << "no first ping";
  Arm(QRVCTL_FAULT_PING_WORD, 0, 1, 0, QRVCTL_FAULT_NO_ANSWER);
  ExpectServicesTornDown();
  // Init while the ended thread is still on its way out changes nothing.
  ASSERT_TRUE(WaitUntil([&] {
    return Init() == QUORVEL_OK && RequestsOf(kCreateEchoPort).size() == 2u;
  })) << "Init never replaced the lost heartbeat";
  EXPECT_EQ(RequestsOf(kCloseEchoPort).size(), 1u) << "the lost heartbeat's port stayed open";
  const uint32_t restart = RequestsOf(kCreateEchoPort).back().sequence;
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& ping : RequestsOf(kEcho)) {
      if (ping.sequence > restart) return true;
    }
    return false;
  })) << "the new heartbeat never pinged";
}

// The heartbeat fails while the host registers and uninitialises: the echo
// thread's teardown wants the process-wide lock that Register or UnInit
// holds, and UnInit waits for the echo thread. The reference driver cannot
// hold a ping the way the simulated driver of the native race test does, so
// the interleavings come from the threads themselves over many rounds: each
// round's failing ping has reached the driver before UnInit begins, and the
// teardown then races UnInit for the lock. A deadlock ends the program
// through the watchdog.
TEST_F(Heartbeat, PingFailingWhileUnInitRunsNeverDeadlocks) {
  constexpr int kRounds = 150;
  HostService& service = NewService();
  Arm(QRVCTL_FAULT_PING_STATUS, 0, QRVCTL_FAULT_FOREVER, kStatusInvalidDeviceState);
  for (int round = 0; round < kRounds; ++round) {
    const uint32_t pings = Counters().pings;
    ASSERT_EQ(Init(), QUORVEL_OK) << "round " << round;
    ASSERT_EQ(Register(1, service), QUORVEL_OK) << "round " << round;
    ASSERT_TRUE(WaitUntil([&] { return Counters().pings > pings; }))
        << "no ping in round " << round;
    UnInit();
  }
  EXPECT_EQ(CountText("quorvel: echo error."), kRounds);
  EXPECT_EQ(CountText("quorvel: echo quit."), kRounds);
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), kRounds);
  EXPECT_EQ(PortOf(1), QRVCTL_NO_PORT);
  EXPECT_EQ(Counters().echoPortsClosed, Counters().echoPortsCreated);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
