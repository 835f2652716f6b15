// Every injectable fault of the simulated driver, and the request hook.
#include <gtest/gtest.h>

#include "sim/driver/wire_tables.h"
#include "tests/sim/driver_fixture.h"

namespace qrv {
namespace sim {
namespace test {
namespace {

using FaultTest = ServicePortTest;

TEST_F(FaultTest, PortAnswerOverrideTakesNoPort) {
  driver().OverridePortAnswer(wire::kAllocatePort, 16u, 1);
  EXPECT_TRUE(client_->CreateEchoPort().ok) << "armed for the other code";
  Answer overridden = client_->AllocatePort(5, 3);
  EXPECT_TRUE(overridden.ok);
  EXPECT_EQ(overridden.word, 16u);
  driver().OverridePortAnswer(wire::kCreateEchoPort, std::nullopt, 1);
  Answer silent = client_->CreateEchoPort();
  EXPECT_TRUE(silent.ok);
  EXPECT_EQ(silent.word, kSentinel) << "a success that writes no answer";
  EXPECT_FALSE(driver().PortOf(5).has_value());
  EXPECT_EQ(client_->AllocatePort(5, 3).word, 2u) << "the fault is spent; 0 and 1 are taken";
}

TEST_F(FaultTest, PortRequestsFailTheNextCount) {
  driver().FailPortRequests(wire::kCreateEchoPort, 2, posix::kStatusUnsuccessful);
  EXPECT_EQ(client_->CreateEchoPort().error, ERROR_GEN_FAILURE);
  EXPECT_TRUE(client_->AllocatePort(6, 1).ok) << "other codes are not affected";
  EXPECT_EQ(client_->CreateEchoPort().error, ERROR_GEN_FAILURE);
  EXPECT_TRUE(client_->CreateEchoPort().ok);
}

TEST_F(FaultTest, BindAnswerOverrideBindsNoSlot) {
  const uint32_t port = client_->AllocatePort(7, 2).word;
  driver().OverrideBindAnswer(2u, 1);
  EXPECT_EQ(client_->Bind(port).word, 2u);
  driver().OverrideBindAnswer(std::nullopt, 1);
  Answer silent = client_->Bind(port);
  EXPECT_TRUE(silent.ok);
  EXPECT_EQ(silent.word, kSentinel);
  EXPECT_EQ(client_->Bind(port).word, 0u);
}

TEST_F(FaultTest, PingsFailOrAnswerWrongOrNothingAfterGoodOnes) {
  const uint32_t echo = client_->CreateEchoPort().word;
  driver().FaultPingsAfter(2, PingFault::kFail);
  EXPECT_TRUE(client_->Echo(echo, wire::kEchoMagic).ok);
  EXPECT_TRUE(client_->Echo(echo, wire::kEchoMagic).ok);
  EXPECT_EQ(client_->Echo(echo, wire::kEchoMagic).error, ERROR_GEN_FAILURE);
  EXPECT_FALSE(client_->Echo(echo, wire::kEchoMagic).ok) << "the fault persists";
  driver().FaultPingsAfter(0, PingFault::kWrongWord, 0x12345678u);
  Answer wrong = client_->Echo(echo, wire::kEchoMagic);
  EXPECT_TRUE(wrong.ok);
  EXPECT_EQ(wrong.word, 0x12345678u);
  driver().FaultPingsAfter(0, PingFault::kNoAnswer);
  Answer silent = client_->Echo(echo, wire::kEchoMagic);
  EXPECT_TRUE(silent.ok);
  EXPECT_EQ(silent.word, kSentinel);
  EXPECT_EQ(Delta().pingFailures, 4u);
  driver().ClearFaults();
  EXPECT_EQ(client_->Echo(echo, wire::kEchoMagic).word, wire::kEchoMagic);
}

TEST_F(FaultTest, ReceivesFailAtOnce) {
  driver().FailReceives(2, posix::StatusFromWin32Error(ERROR_MORE_DATA));
  std::shared_ptr<Message> message = driver().Post(kService, 1, {1});
  for (int i = 0; i < 2; ++i) {
    PendingReceive& failed = Receive(0);
    EXPECT_FALSE(failed.Issue());
    EXPECT_EQ(failed.error(), ERROR_MORE_DATA);
  }
  EXPECT_EQ(message->outcome(), Outcome::kQueued) << "a failed receive takes no message";
  EXPECT_TRUE(Receive(0).Issue());
}

TEST_F(FaultTest, ReceivesFailThroughTheCompletion) {
  driver().FailReceives(1, SimDriver::kStatusNoFreePort, FaultPath::kPending);
  PendingReceive& faulted = PendReceive(0);
  PendingReceive& healthy = PendReceive(1);
  std::shared_ptr<Message> message = driver().Post(kService, 1, {1});
  ASSERT_TRUE(faulted.Wait());
  EXPECT_FALSE(faulted.Result());
  EXPECT_EQ(faulted.error(), ERROR_NO_SYSTEM_RESOURCES);
  ASSERT_TRUE(healthy.Wait()) << "the message moves on to the next pending slot";
  EXPECT_TRUE(healthy.Result());
  EXPECT_EQ(message->threadIndex(), 1u);
}

TEST_F(FaultTest, PendingReceivesCanBeCompletedOnDemand) {
  PendingReceive& pended = PendReceive(2);
  ASSERT_TRUE(driver().WaitForPendingReceives(kService, 1, kTimeout));
  EXPECT_EQ(driver().CompletePendingReceives(kService, posix::kStatusBufferTooSmall), 1u);
  ASSERT_TRUE(pended.Wait());
  EXPECT_FALSE(pended.Result());
  EXPECT_EQ(pended.error(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(FaultTest, HostileTooSmallSizes) {
  driver().ReportHostileSizes(1, HostileSize::kBelowHeader);
  driver().Post(kService, 1, std::vector<uint8_t>(2000));
  PendingReceive& below = Receive(0);
  EXPECT_FALSE(below.Issue());
  EXPECT_EQ(below.Word(0), 3u);
  driver().ReportHostileSizes(1, HostileSize::kNoLarger);
  PendingReceive& same = Receive(0, 1500, 1);
  EXPECT_FALSE(same.Issue());
  EXPECT_EQ(same.Word(0), 1500u);
  PendingReceive& honest = Receive(0, 1500, 1);
  EXPECT_FALSE(honest.Issue());
  EXPECT_EQ(honest.Word(0), 2004u) << "the fault is spent";
}

TEST_F(FaultTest, ShortAndInflatedCompletions) {
  driver().ShortCompletions(1, 2);
  driver().InflateCompletions(1, 8);
  driver().Post(kService, 5, {1, 2, 3});
  PendingReceive& short_ = Receive(0, 64);
  ASSERT_TRUE(short_.Issue());
  EXPECT_EQ(short_.bytes(), 2u);

  PendingReceive& inflated = PendReceive(1, 64);
  driver().Post(kService, 5, {4, 5});
  ASSERT_TRUE(inflated.Wait());
  ASSERT_TRUE(inflated.Result());
  EXPECT_EQ(inflated.bytes(), 72u);
  EXPECT_EQ(inflated.Word(0), 5u);
  EXPECT_EQ(inflated.buffer()[6], 0xAA) << "only the message itself is written";
}

TEST_F(FaultTest, FailedReplyFailsTheMessageBack) {
  driver().FailReplies(1);
  std::shared_ptr<Message> message = driver().Post(kService, 1, {1});
  ASSERT_TRUE(Receive(0).Issue());
  EXPECT_EQ(client_->Reply(port_, 0, nullptr, 0).error, ERROR_GEN_FAILURE);
  EXPECT_EQ(message->outcome(), Outcome::kFailedBack);
  EXPECT_EQ(Delta().replyFailures, 1u);
}

TEST_F(FaultTest, HookRunsBeforeTheDriverSeesTheRequest) {
  std::vector<std::pair<DWORD, size_t>> seen;
  driver().SetRequestHook([&](DWORD code, const std::vector<uint8_t>& input) {
    seen.emplace_back(code, driver().RequestCount(code));
    EXPECT_EQ(input, Words({port_}));
  });
  const size_t before = driver().RequestCount(wire::kBindThread);
  client_->Bind(port_);
  driver().SetRequestHook(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].first, wire::kBindThread);
  EXPECT_EQ(seen[0].second, before) << "the hook runs before the request is counted";
}

}  // namespace
}  // namespace test
}  // namespace sim
}  // namespace qrv
