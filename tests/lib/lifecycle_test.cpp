// The entry points' lifecycle as a host sees it: results, messages at the
// sink, and requests at the driver.
#include <functional>

#include "connection/protocol.h"
#include "diagnostics/component_library.h"
#include "library_fixture.h"

namespace qrv {

namespace wire = qrv::sim::wire;

namespace {

void WINAPI NoAnswer(NIMUC::IAllocator*, void*, uint32_t, void*, void**, uint32_t*) {}

}  // namespace

using Lifecycle = LibraryTest;

TEST_F(Lifecycle, InitTwiceOpensOnceAndLogsOnce) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Init(0), S_OK);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel-Initialize successfully."});
  EXPECT_EQ(RequestsOf(wire::kCreateEchoPort).size(), 1u);
  EXPECT_EQ(Sink().Counters().componentsCreated, 1);
}

TEST_F(Lifecycle, InitWithoutDeviceFailsAndRetriesOnceItAppears) {
  Driver().Detach();
  EXPECT_EQ(Init(0), E_FAIL);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel-Init: open device failed."});
  // The failed Init closed the channel again: one Release, one DestroySink.
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
  EXPECT_EQ(Register(1, &NoAnswer, nullptr), E_FAIL);

  Driver().Attach();
  EXPECT_EQ(Init(0), S_OK);
  ExpectText("quorvel-Initialize successfully.");
  EXPECT_EQ(Sink().Counters().liveComponents, 1);
}

TEST_F(Lifecycle, FailedEchoStartIsReplacedByTheNextInit) {
  Driver().OverridePortAnswer(wire::kCreateEchoPort, 16u);
  EXPECT_EQ(Init(0), E_FAIL);
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].rfind("quorvel: create echo port failed, error code ", 0), 0u) << texts[0];
  EXPECT_EQ(texts[1], "quorvel-Init: start echo failed.");
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 0u);

  // The recorded echo connection does not run: the next Init replaces it,
  // and its success means a heartbeat.
  Sink().ClearRecords();
  EXPECT_EQ(Init(0), S_OK);
  EXPECT_EQ(Texts(), std::vector<std::string>{"quorvel-Initialize successfully."});
  EXPECT_EQ(RequestsOf(wire::kCreateEchoPort).size(), 2u);
  EXPECT_TRUE(Driver().WaitForRequests(wire::kEcho, 1, kWait));
}

TEST_F(Lifecycle, UnInitBeforeInitAndTwiceDoesNothing) {
  UnInit();
  EXPECT_TRUE(Texts().empty());
  ASSERT_EQ(Init(0), S_OK);
  UnInit();
  UnInit();
  EXPECT_EQ(Sink().CountText("quorvel-UnInit: ok."), 1);
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
}

TEST_F(Lifecycle, BadArgumentsChangeNothingAndLogNothing) {
  EXPECT_EQ(Register(0, &NoAnswer, nullptr), E_FAIL);  // before Init
  EXPECT_EQ(Unregister(0), E_FAIL);
  ASSERT_EQ(Init(0), S_OK);
  Sink().ClearRecords();
  EXPECT_EQ(Register(16, &NoAnswer, nullptr), E_FAIL);
  EXPECT_EQ(Register(0xFFFFFFFFu, &NoAnswer, nullptr), E_FAIL);
  EXPECT_EQ(Register(3, nullptr, nullptr), E_FAIL);
  EXPECT_EQ(Unregister(16), E_FAIL);
  EXPECT_EQ(Unregister(0xFFFFFFFFu), E_FAIL);
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(RequestsOf(wire::kAllocatePort).size(), 0u);
}

TEST_F(Lifecycle, RegisterLogsPrefixIdAndSuffixThroughTheGlueFormat) {
  ASSERT_EQ(Init(0), S_OK);
  Sink().ClearRecords();
  ASSERT_EQ(Register(3, &NoAnswer, nullptr), S_OK);
  const auto records = Sink().Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].format, "%s%d%s%d%s");
  EXPECT_EQ(records[0].text, "quorvel: allocate port[1] for service[3]");
  EXPECT_EQ(records[1].format, "%s%d%s");
  EXPECT_EQ(records[1].text, "quorvel-Register( 3 ): success.");
}

TEST_F(Lifecycle, RegisterTwiceKeepsTheFirstConnection) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Register(4, &NoAnswer, nullptr), S_OK);
  EXPECT_EQ(Register(4, &NoAnswer, nullptr), S_OK);
  ExpectText("quorvel-Register( 4 ): connection has been created.");
  EXPECT_EQ(RequestsOf(wire::kAllocatePort).size(), 1u);
}

// A filed connection that serves nothing (its Start failed, or all its
// workers ended) is replaced by the next Register, whose start decides.
TEST_F(Lifecycle, RegisterReplacesAFiledConnectionThatDoesNotRun) {
  struct Case {
    const char* name;
    std::function<void()> breakFirst;  // makes the first connection not run
    bool workersRan;                   // the first connection started its workers
    bool driverRefusesAgain;
  };
  const Case cases[] = {
      {"start failed", [] { Driver().OverridePortAnswer(wire::kAllocatePort, 16u); }, false, false},
      {"start failed twice", [] { Driver().OverridePortAnswer(wire::kAllocatePort, 16u, 2); },
       false, true},
      {"workers ended", [] { Driver().FailReceives(15, qrv::posix::kStatusUnsuccessful); }, true,
       false},
  };
  ASSERT_EQ(Init(0), S_OK);
  uint32_t id = 6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Driver().ClearFaults();
    c.breakFirst();
    Register(id, &NoAnswer, nullptr);
    // All three workers of the broken connection have logged their end.
    for (int thread = 0; thread < 3 && c.workersRan; ++thread) {
      ExpectText("quorvel: service[" + std::to_string(id) + "] port[1] thread[" +
                 std::to_string(thread) + "] quit.");
    }
    Sink().ClearRecords();
    EXPECT_EQ(Register(id, &NoAnswer, nullptr), c.driverRefusesAgain ? E_FAIL : S_OK);
    const std::string prefix = "quorvel-Register( " + std::to_string(id) + " ): ";
    EXPECT_EQ(TextsStartingWith("quorvel-Register("),
              std::vector<std::string>{
                  prefix + (c.driverRefusesAgain ? "start working unsuccessfully." : "success.")});
    if (!c.driverRefusesAgain) {
      auto message = Driver().Post(id, 0, {1});
      ASSERT_TRUE(message->WaitFinal(kWait));
      EXPECT_EQ(message->outcome(), qrv::sim::Outcome::kNotWanted) << "nothing serves the id";
    }
    EXPECT_EQ(Unregister(id), S_OK);
    ++id;
  }
}

TEST_F(Lifecycle, UnregisterUnknownIdFails) {
  ASSERT_EQ(Init(0), S_OK);
  EXPECT_EQ(Unregister(9), E_FAIL);
  ExpectText("quorvel-Unregister( 9 ): connection hasn't been registered or has been removed.");
}

TEST_F(Lifecycle, UnInitStopsServicesInCreationOrderThenTheEcho) {
  ASSERT_EQ(Init(0), S_OK);
  for (uint32_t id : {5u, 2u, 9u}) ASSERT_EQ(Register(id, &NoAnswer, nullptr), S_OK);
  const uint32_t port5 = *Driver().PortOf(5);
  const uint32_t port2 = *Driver().PortOf(2);
  const uint32_t port9 = *Driver().PortOf(9);
  Driver().ClearRequestLog();
  UnInit();
  std::vector<std::pair<DWORD, uint32_t>> closing;
  for (const auto& record : Driver().requests()) {
    if (record.code == wire::kFreePort || record.code == wire::kCloseEchoPort) {
      closing.emplace_back(record.code, *record.port);
    }
  }
  const std::vector<std::pair<DWORD, uint32_t>> expected = {{wire::kFreePort, port5},
                                                            {wire::kFreePort, port2},
                                                            {wire::kFreePort, port9},
                                                            {wire::kCloseEchoPort, 0u}};
  EXPECT_EQ(closing, expected);
  const auto texts = Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "quorvel-UnInit: ok.");
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
}

TEST_F(Lifecycle, FailedPingTearsServicesDownAndKeepsTheLibraryInitialised) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Register(1, &NoAnswer, nullptr), S_OK);
  ASSERT_EQ(Register(2, &NoAnswer, nullptr), S_OK);
  Driver().FaultPingsAfter(0, qrv::sim::PingFault::kWrongWord, 0x12345678u);
  ExpectText("quorvel: echo quit.");
  const auto echo = TextsStartingWith("quorvel: echo");
  EXPECT_EQ(echo, (std::vector<std::string>{"quorvel: echo error.", "quorvel: echo quit."}));
  EXPECT_EQ(Sink().CountText("quorvel: free port[1] for service[1]"), 1);
  EXPECT_EQ(Sink().CountText("quorvel: free port[2] for service[2]"), 1);

  EXPECT_EQ(Unregister(1), E_FAIL);
  ExpectText("quorvel-Unregister( 1 ): connection hasn't been registered or has been removed.");
  EXPECT_EQ(Register(1, &NoAnswer, nullptr), S_OK);
  Driver().ClearFaults();
  Sink().ClearRecords();
  UnInit();
  // The echo connection is still started: its Stop closes the port.
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 1u);
  EXPECT_EQ(Sink().CountText("quorvel: stop echo."), 1);
}

// A ping that fails, or that completes without writing its answer, is a
// lost heartbeat; the next Init replaces the ended echo connection.
TEST_F(Lifecycle, FailedOrUnansweredPingLosesTheHeartbeatAndInitRestartsIt) {
  for (const auto fault : {qrv::sim::PingFault::kFail, qrv::sim::PingFault::kNoAnswer}) {
    SCOPED_TRACE(static_cast<int>(fault));
    Sink().ClearRecords();
    Driver().ClearRequestLog();
    ASSERT_EQ(Init(0), S_OK);
    Driver().FaultPingsAfter(1, fault);
    ExpectText("quorvel: echo error.");
    ExpectText("quorvel: echo quit.");
    Driver().ClearFaults();
    // Init while the ended thread is still on its way out changes nothing;
    // once it has ended, Init starts a new heartbeat.
    EXPECT_TRUE(WaitUntil([&] {
      EXPECT_EQ(Init(0), S_OK);
      return RequestsOf(wire::kCreateEchoPort).size() == 2u;
    })) << "Init never replaced the lost heartbeat";
    ExpectText("quorvel-Initialize successfully.");
    const uint64_t pings = Driver().counters().pings;
    EXPECT_TRUE(
        Driver().WaitUntil([&](const qrv::sim::Counters& c) { return c.pings > pings; }, kWait));
    UnInit();
  }
}

TEST_F(Lifecycle, ThrowingSinkLeavesEveryOperationUnchanged) {
  ASSERT_TRUE(Sink().SetVPrintFault(pxcom::StandIn::Fault::kThrow));
  ASSERT_EQ(Init(0), S_OK);
  EXPECT_EQ(Register(2, &NoAnswer, nullptr), S_OK);
  EXPECT_EQ(Unregister(2), S_OK);
  EXPECT_GE(Sink().Counters().vprintCalls, 3);
  EXPECT_EQ(Sink().RecordCount(), 0);
}

// The framework table destroyed under the library: the error never leaves
// Init, which runs without a channel and leaves the process-wide lock free.
TEST_F(Lifecycle, DeadReferenceLeavesInitWorkingAndTheLockFree) {
  ComponentLibrary::DestroyInstance();
  EXPECT_EQ(Init(0), S_OK);
  EXPECT_EQ(Register(1, &NoAnswer, nullptr), S_OK);
  EXPECT_EQ(Unregister(1), S_OK);
  UnInit();
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0);
  EXPECT_EQ(Init(0), S_OK);
}

}  // namespace qrv
