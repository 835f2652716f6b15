// The entry points' lifecycle as a host sees it: results, messages at the
// sink, and requests at the driver.
#include "connection/protocol.h"
#include "diagnostics/component_library.h"
#include "library_fixture.h"

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

TEST_F(Lifecycle, FailedEchoStartStaysRecordedUntilUnInit) {
  Driver().OverridePortAnswer(wire::kCreateEchoPort, 16u);
  EXPECT_EQ(Init(0), E_FAIL);
  const auto texts = Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].rfind("quorvel: create echo port failed, error code ", 0), 0u) << texts[0];
  EXPECT_EQ(texts[1], "quorvel-Init: start echo failed.");
  EXPECT_EQ(RequestsOf(wire::kCloseEchoPort).size(), 0u);

  // The recorded echo connection makes the next Init succeed without a
  // heartbeat.
  Sink().ClearRecords();
  EXPECT_EQ(Init(0), S_OK);
  EXPECT_TRUE(Texts().empty());
  EXPECT_EQ(RequestsOf(wire::kCreateEchoPort).size(), 1u);

  UnInit();
  EXPECT_EQ(Init(0), S_OK);
  ExpectText("quorvel-Initialize successfully.");
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

TEST_F(Lifecycle, RegisterWhoseStartFailedStaysFiledUntilUnregister) {
  ASSERT_EQ(Init(0), S_OK);
  Driver().OverridePortAnswer(wire::kAllocatePort, 16u);
  EXPECT_EQ(Register(6, &NoAnswer, nullptr), E_FAIL);
  ExpectText("quorvel: allocate port for service[6] failed.");
  ExpectText("quorvel-Register( 6 ): start working unsuccessfully.");
  EXPECT_EQ(Register(6, &NoAnswer, nullptr), S_OK);
  ExpectText("quorvel-Register( 6 ): connection has been created.");
  EXPECT_EQ(Unregister(6), S_OK);
  ExpectText("quorvel-Unregister( 6 ): ok.");
  // Never started: no free-port request, no binding.
  EXPECT_EQ(RequestsOf(wire::kFreePort).size(), 0u);
  EXPECT_EQ(RequestsOf(wire::kBindThread).size(), 0u);
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

TEST_F(Lifecycle, FailedPingCallIsAHeartbeatFailureToo) {
  ASSERT_EQ(Init(0), S_OK);
  Driver().FaultPingsAfter(1, qrv::sim::PingFault::kFail);
  ExpectText("quorvel: echo error.");
  ExpectText("quorvel: echo quit.");
  EXPECT_GE(Driver().counters().pings, 2u);
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
