// The entry points' lifecycle as a Windows host sees it through the shipped
// QUORVEL.DLL: results, exact messages at the framework's sink, and the
// requests the reference driver saw.
#include <algorithm>
#include <utility>

#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

using Lifecycle = HostTest;

// The sink's records as (format, text) pairs.
std::vector<std::pair<std::string, std::string>> Records(pxcom::StandIn& sink) {
  std::vector<std::pair<std::string, std::string>> records;
  for (const auto& record : sink.Records()) records.emplace_back(record.format, record.text);
  return records;
}

TEST_F(Lifecycle, InitTwiceOpensOnceAndLogsOnce) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(Records(Sink()), (std::vector<std::pair<std::string, std::string>>{
                                 {"%s", "quorvel-Initialize successfully."}}));
  const auto created = RequestsOf(kCreateEchoPort);
  ASSERT_EQ(created.size(), 1u) << "a second echo connection";
  EXPECT_EQ(created[0].inputLength, 12u);
  EXPECT_EQ(created[0].outputLength, 4u);
  EXPECT_EQ(created[0].kind, 1u);
  EXPECT_EQ(created[0].serviceId, 15u);
  EXPECT_EQ(created[0].threadCount, 1u);
  EXPECT_EQ(created[0].status, kStatusSuccess);
  EXPECT_EQ(Sink().Counters().componentsCreated, 1);
}

TEST_F(Lifecycle, UnInitBeforeInitAndTwiceDoesNothing) {
  UnInit();
  EXPECT_TRUE(Texts().empty());
  EXPECT_TRUE(DriverLog().empty());
  EXPECT_EQ(Sink().Counters().createInstanceCalls, 0) << "UnInit before Init opened the channel";

  ASSERT_EQ(Init(), QUORVEL_OK);
  UnInit();
  UnInit();
  EXPECT_EQ(CountText("quorvel-UnInit: ok."), 1);
  EXPECT_EQ(RequestsOf(kCloseEchoPort).size(), 1u);
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
  const auto destroyed = Sink().DestroySinkCalls();
  ASSERT_EQ(destroyed.size(), 1u);
  EXPECT_EQ(destroyed[0].id, 4);
  EXPECT_TRUE(destroyed[0].sink_matched);
}

TEST_F(Lifecycle, InitAfterUnInitStartsAFreshHeartbeat) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_TRUE(WaitUntil([&] { return !RequestsOf(kEcho).empty(); })) << "no first ping";
  UnInit();
  // The echo thread's two lines and Stop's line, in any order, all before
  // UnInit's own.
  auto texts = Texts();
  ASSERT_EQ(texts.size(), 5u);
  EXPECT_EQ(texts.front(), "quorvel-Initialize successfully.");
  EXPECT_EQ(texts.back(), "quorvel-UnInit: ok.");
  std::vector<std::string> middle(texts.begin() + 1, texts.end() - 1);
  std::sort(middle.begin(), middle.end());
  EXPECT_EQ(middle, (std::vector<std::string>{"quorvel: echo disconnected.", "quorvel: echo quit.",
                                              "quorvel: stop echo."}));

  ASSERT_EQ(Init(), QUORVEL_OK);
  EXPECT_EQ(CountText("quorvel-Initialize successfully."), 2);
  const auto created = RequestsOf(kCreateEchoPort);
  ASSERT_EQ(created.size(), 2u);
  const uint32_t secondStart = created[1].sequence;
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& ping : RequestsOf(kEcho)) {
      if (ping.sequence > secondStart && ping.word == 0x4563686Fu) return true;
    }
    return false;
  })) << "the second heartbeat never pinged";
  EXPECT_EQ(Sink().CreateSinkIds(), (std::vector<int32_t>{4, 4}));
  EXPECT_EQ(Sink().Counters().liveComponents, 1);
}

TEST_F(Lifecycle, BadArgumentsChangeNothingAndLogNothing) {
  HostService& service = NewService();
  EXPECT_EQ(Register(0, service), QUORVEL_E_FAIL) << "before Init";
  EXPECT_EQ(Unregister(0), QUORVEL_E_FAIL) << "before Init";
  ASSERT_EQ(Init(), QUORVEL_OK);
  Sink().ClearRecords();
  EXPECT_EQ(Register(16, service), QUORVEL_E_FAIL);
  EXPECT_EQ(Register(0xFFFFFFFFu, service), QUORVEL_E_FAIL);
  EXPECT_EQ(Register(3, nullptr, &service), QUORVEL_E_FAIL);
  EXPECT_EQ(Unregister(16), QUORVEL_E_FAIL);
  EXPECT_EQ(Unregister(0xFFFFFFFFu), QUORVEL_E_FAIL);
  EXPECT_TRUE(Texts().empty());
  EXPECT_TRUE(RequestsOf(kAllocatePort).empty());
}

TEST_F(Lifecycle, RegisterLogsPrefixIdAndSuffixThroughTheGlueFormat) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  Sink().ClearRecords();
  ASSERT_EQ(Register(3, service), QUORVEL_OK);
  // The echo connection holds port 0.
  EXPECT_EQ(Records(Sink()), (std::vector<std::pair<std::string, std::string>>{
                                 {"%s%d%s%d%s", "quorvel: allocate port[1] for service[3]"},
                                 {"%s%d%s", "quorvel-Register( 3 ): success."}}));
  const auto allocated = RequestsOf(kAllocatePort);
  ASSERT_EQ(allocated.size(), 1u);
  EXPECT_EQ(allocated[0].kind, 0u);
  EXPECT_EQ(allocated[0].serviceId, 3u);
  EXPECT_EQ(allocated[0].threadCount, 3u);
  EXPECT_EQ(allocated[0].port, 1u);
  ASSERT_TRUE(WaitForPendingReceives(3, 3)) << "the three workers never received";
  std::vector<uint32_t> indexes;
  for (const auto& bind : RequestsOf(kBindThread)) {
    EXPECT_EQ(bind.port, 1u);
    indexes.push_back(bind.threadIndex);
  }
  std::sort(indexes.begin(), indexes.end());
  EXPECT_EQ(indexes, (std::vector<uint32_t>{0, 1, 2}));
}

TEST_F(Lifecycle, RegisterTwiceKeepsTheFirstConnection) {
  HostService& first = NewService();
  HostService& second = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  ASSERT_EQ(Register(4, first), QUORVEL_OK);
  EXPECT_EQ(Register(4, second), QUORVEL_OK);
  ExpectText("quorvel-Register( 4 ): connection has been created.");
  EXPECT_EQ(RequestsOf(kAllocatePort).size(), 1u);
  EXPECT_EQ(AwaitOutcome(Post(4, 1, Bytes(8, 1))).record.state,
            static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(first.calls(), 1);
  EXPECT_EQ(second.calls(), 0) << "the second Register's callback and context were used";
}

// A filed connection whose Start failed serves nothing: the next Register
// replaces it, with that call's callback and context.
TEST_F(Lifecycle, RegisterReplacesAFiledConnectionWhoseStartFailed) {
  HostService& first = NewService();
  HostService& second = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  Arm(QRVCTL_FAULT_PORT_ANSWER, 0, 1, 16);
  EXPECT_EQ(Register(6, first), QUORVEL_E_FAIL);
  ExpectText("quorvel: allocate port for service[6] failed.");
  ExpectText("quorvel-Register( 6 ): start working unsuccessfully.");
  Sink().ClearRecords();
  EXPECT_EQ(Register(6, second), QUORVEL_OK);
  EXPECT_EQ(TextsStartingWith("quorvel-Register("),
            std::vector<std::string>{"quorvel-Register( 6 ): success."});
  EXPECT_EQ(AwaitOutcome(Post(6, 1, Bytes(8, 1))).record.state,
            static_cast<uint32_t>(QRVCTL_MSG_ANSWERED));
  EXPECT_EQ(first.calls(), 0);
  EXPECT_EQ(second.calls(), 1) << "the replacement did not use this call's callback and context";
  EXPECT_EQ(Unregister(6), QUORVEL_OK);
  ExpectText("quorvel-Unregister( 6 ): ok.");
  // Only the replacement held a port.
  EXPECT_EQ(RequestsOf(kFreePort).size(), 1u);
}

TEST_F(Lifecycle, UnregisterUnknownIdFails) {
  ASSERT_EQ(Init(), QUORVEL_OK);
  Sink().ClearRecords();
  EXPECT_EQ(Unregister(9), QUORVEL_E_FAIL);
  EXPECT_EQ(
      Records(Sink()),
      (std::vector<std::pair<std::string, std::string>>{
          {"%s%d%s",
           "quorvel-Unregister( 9 ): connection hasn't been registered or has been removed."}}));
}

TEST_F(Lifecycle, UnInitStopsServicesInCreationOrderThenTheEcho) {
  HostService& service = NewService();
  ASSERT_EQ(Init(), QUORVEL_OK);
  for (uint32_t id : {5u, 2u, 9u}) ASSERT_EQ(Register(id, service), QUORVEL_OK);
  const uint32_t port5 = PortOf(5), port2 = PortOf(2), port9 = PortOf(9);
  UnInit();
  std::vector<std::string> closing;
  for (const auto& entry : DriverLog()) {
    if (entry.code == kFreePort) closing.push_back("FREE_PORT " + std::to_string(entry.port));
    if (entry.code == kCloseEchoPort)
      closing.push_back("CLOSE_ECHO_PORT " + std::to_string(entry.port));
  }
  EXPECT_EQ(closing, (std::vector<std::string>{
                         "FREE_PORT " + std::to_string(port5), "FREE_PORT " + std::to_string(port2),
                         "FREE_PORT " + std::to_string(port9), "CLOSE_ECHO_PORT 0"}));
  std::vector<std::string> stops;
  for (const std::string& text : Texts()) {
    if (text.rfind("quorvel: free port[", 0) == 0 || text == "quorvel: stop echo.")
      stops.push_back(text);
  }
  EXPECT_EQ(stops, (std::vector<std::string>{
                       "quorvel: free port[" + std::to_string(port5) + "] for service[5]",
                       "quorvel: free port[" + std::to_string(port2) + "] for service[2]",
                       "quorvel: free port[" + std::to_string(port9) + "] for service[9]",
                       "quorvel: stop echo."}));
  const auto texts = Texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "quorvel-UnInit: ok.");
  EXPECT_EQ(Sink().Counters().liveComponents, 0);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
