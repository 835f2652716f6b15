// Message delivery on a service port: pending and immediate receives, the
// too-small report on both paths, replies, and what freeing a port or
// closing the handle does to everything in flight.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "sim/driver/wire_tables.h"
#include "tests/sim/driver_fixture.h"

namespace qrv {
namespace sim {
namespace test {
namespace {

std::vector<uint8_t> Bytes(size_t count, uint8_t first = 0) {
  std::vector<uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

void ExpectBalanced(const Counters& counters) {
  EXPECT_EQ(counters.posted, counters.answered + counters.notWanted + counters.failedBack);
  EXPECT_EQ(counters.inFlight, 0u);
}

using MessageTest = ServicePortTest;

TEST_F(MessageTest, PostCompletesAPendingReceiveAndTheReplyAnswersIt) {
  PendingReceive& receive = PendReceive(1);
  ASSERT_TRUE(driver().WaitForPendingReceives(kService, 1, kTimeout));
  std::shared_ptr<Message> message = driver().Post(kService, 7, Bytes(10));
  ASSERT_TRUE(receive.Wait()) << "the post did not complete the pending receive";
  ASSERT_TRUE(receive.Result()) << receive.error();
  EXPECT_EQ(receive.bytes(), 14u);
  EXPECT_EQ(receive.Word(wire::kMessageHeader), 7u);
  EXPECT_EQ(receive.Payload(), Bytes(10));
  EXPECT_EQ(message->outcome(), Outcome::kDelivered);
  EXPECT_EQ(message->threadIndex(), 1u);

  const std::vector<uint8_t> answer = Bytes(5, 100);
  ASSERT_TRUE(client_->Reply(port_, 1, answer.data(), 5).ok);
  ASSERT_TRUE(message->WaitFinal(kTimeout));
  EXPECT_EQ(message->outcome(), Outcome::kAnswered);
  EXPECT_EQ(message->reply(), answer);
  EXPECT_FALSE(client_->Reply(port_, 1, answer.data(), 5).ok) << "nothing left to answer";
  EXPECT_EQ(Delta().pendedReceives, 1u);
  EXPECT_EQ(Delta().replyFailures, 1u);
  ExpectBalanced(Delta());
}

TEST_F(MessageTest, QueuedMessageIsDeliveredAtOnce) {
  std::shared_ptr<Message> message = driver().Post(kService, 1, Bytes(3));
  EXPECT_EQ(message->outcome(), Outcome::kQueued);
  PendingReceive& receive = Receive(0);
  ASSERT_TRUE(receive.Issue()) << receive.error();
  EXPECT_EQ(receive.bytes(), 7u);
  EXPECT_EQ(receive.Payload(), Bytes(3));
  // A reply with a null answer of length 0 answers it empty.
  ASSERT_TRUE(client_->Reply(port_, 0, nullptr, 0).ok);
  EXPECT_EQ(message->outcome(), Outcome::kAnswered);
  EXPECT_TRUE(message->reply().empty());
}

TEST_F(MessageTest, HeaderZeroIsFinalOnDeliveryAndTakesNoReply) {
  std::shared_ptr<Message> message = driver().Post(kService, 0, Bytes(4));
  PendingReceive& receive = Receive(2);
  ASSERT_TRUE(receive.Issue());
  EXPECT_EQ(receive.Word(wire::kMessageHeader), 0u);
  EXPECT_EQ(message->outcome(), Outcome::kNotWanted);
  EXPECT_FALSE(client_->Reply(port_, 2, nullptr, 0).ok);
  EXPECT_EQ(Delta().notWanted, 1u);
}

TEST_F(MessageTest, TooSmallAtOnceWritesTheSizeAndKeepsTheMessageForTheSlot) {
  std::shared_ptr<Message> message = driver().Post(kService, 9, Bytes(2000));
  PendingReceive& small = Receive(0);
  EXPECT_FALSE(small.Issue());
  EXPECT_EQ(small.error(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small.Word(wire::kMessageHeader), 2004u) << "the size word must reach the caller";
  EXPECT_EQ(message->outcome(), Outcome::kAssigned);

  // Another slot cannot take it: it pends.
  PendReceive(1);
  PendingReceive& large = Receive(0, 2004, 1);
  ASSERT_TRUE(large.Issue()) << large.error();
  EXPECT_EQ(large.bytes(), 2004u);
  EXPECT_EQ(large.Word(wire::kMessageHeader), 9u);
  EXPECT_EQ(large.Payload(), Bytes(2000));
  EXPECT_EQ(message->outcome(), Outcome::kDelivered);
  EXPECT_EQ(Delta().tooSmallReports, 1u);
}

TEST_F(MessageTest, TooSmallThroughTheCompletionWritesTheSizeWord) {
  PendingReceive& small = PendReceive(2);
  std::shared_ptr<Message> message = driver().Post(kService, 9, Bytes(1021));
  ASSERT_TRUE(small.Wait());
  EXPECT_FALSE(small.Result());
  EXPECT_EQ(small.error(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small.bytes(), 4u) << "the count covers the size word";
  EXPECT_EQ(small.Word(wire::kMessageHeader), 1025u);
  EXPECT_EQ(message->threadIndex(), 2u);

  PendingReceive& large = Receive(2, 1025, 1);
  ASSERT_TRUE(large.Issue()) << large.error();
  EXPECT_EQ(large.Payload(), Bytes(1021));
}

TEST_F(MessageTest, TooSmallStatusCanBeTheRawBufferOverflowError) {
  driver().SetTooSmallStatus(posix::StatusFromWin32Error(ERROR_BUFFER_OVERFLOW));
  PendingReceive& pended = PendReceive(0, 64);
  driver().Post(kService, 1, Bytes(100));
  ASSERT_TRUE(pended.Wait());
  EXPECT_FALSE(pended.Result());
  EXPECT_EQ(pended.error(), ERROR_BUFFER_OVERFLOW);
  PendingReceive& again = Receive(0, 8);
  EXPECT_FALSE(again.Issue());
  EXPECT_EQ(again.error(), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(again.Word(0), 104u);
}

TEST_F(MessageTest, PostsGoRoundRobinOverPendingSlots) {
  PendingReceive* receives[] = {&PendReceive(0), &PendReceive(1), &PendReceive(2)};
  std::vector<uint32_t> slots;
  for (uint8_t i = 0; i < 3; ++i) slots.push_back(driver().Post(kService, 1, {i})->threadIndex());
  std::sort(slots.begin(), slots.end());
  EXPECT_EQ(slots, (std::vector<uint32_t>{0, 1, 2}));
  for (PendingReceive* receive : receives) EXPECT_TRUE(receive->Wait());
}

TEST_F(MessageTest, MessageForOneSlotWaitsForThatSlot) {
  PendingReceive& other = PendReceive(0);
  std::shared_ptr<Message> message = driver().Post(kService, 1, Bytes(1), 1);
  EXPECT_EQ(message->outcome(), Outcome::kQueued);
  EXPECT_FALSE(other.Wait(std::chrono::milliseconds(0)));
  PendingReceive& target = Receive(1);
  ASSERT_TRUE(target.Issue());
  EXPECT_EQ(message->threadIndex(), 1u);
}

TEST_F(MessageTest, RefusesASecondPendingReceiveAndUnboundSlots) {
  PendReceive(0);
  PendingReceive& second = Receive(0);
  EXPECT_FALSE(second.Issue());
  EXPECT_EQ(second.error(), ERROR_BAD_COMMAND);
  PendingReceive& unbound = Receive(kThreads);
  EXPECT_FALSE(unbound.Issue());
  EXPECT_EQ(unbound.error(), ERROR_INVALID_PARAMETER);
}

TEST_F(MessageTest, ReceivingAgainFailsBackTheUnansweredMessage) {
  std::shared_ptr<Message> first = driver().Post(kService, 1, Bytes(1));
  ASSERT_TRUE(Receive(0).Issue());
  PendReceive(0);
  EXPECT_EQ(first->outcome(), Outcome::kFailedBack);
}

TEST_F(MessageTest, FreePortCancelsPendingReceivesAndFailsBackEveryMessage) {
  std::shared_ptr<Message> delivered = driver().Post(kService, 1, Bytes(1));
  ASSERT_TRUE(Receive(0).Issue());
  std::shared_ptr<Message> assigned = driver().Post(kService, 1, Bytes(2000), 1);
  EXPECT_FALSE(Receive(1).Issue());
  PendingReceive& pended = PendReceive(2);
  std::shared_ptr<Message> queued = driver().Post(kService, 1, Bytes(1), 1);
  std::shared_ptr<Message> answered = driver().Post(kService, 1, Bytes(1), 2);
  ASSERT_TRUE(pended.Wait());
  ASSERT_TRUE(client_->Reply(port_, 2, nullptr, 0).ok);
  PendingReceive& cancelled = PendReceive(2);

  ASSERT_TRUE(client_->FreePort(port_).ok);
  ASSERT_TRUE(cancelled.Wait()) << "freeing the port must complete its pending receive";
  EXPECT_FALSE(cancelled.Result());
  EXPECT_EQ(cancelled.error(), ERROR_OPERATION_ABORTED);
  for (const auto& message : {delivered, assigned, queued})
    EXPECT_EQ(message->outcome(), Outcome::kFailedBack) << message->id();
  EXPECT_EQ(answered->outcome(), Outcome::kAnswered);
  EXPECT_EQ(Delta().failedBack, 3u);
  ExpectBalanced(Delta());
}

// A well-formed request naming a port that is no longer open is refused for
// the port's state (STATUS_INVALID_DEVICE_STATE, 22 as on Windows), not as
// malformed, whatever the code; none of them pends.
TEST_F(MessageTest, RequestsOnAFreedPortFailAtOnceForItsState) {
  ASSERT_TRUE(client_->FreePort(port_).ok);
  PendingReceive& receive = Receive(0);
  EXPECT_FALSE(receive.Issue());
  EXPECT_EQ(receive.error(), ERROR_BAD_COMMAND) << "must not pend on a freed port";
  EXPECT_EQ(client_->Bind(port_).error, ERROR_BAD_COMMAND);
  EXPECT_EQ(client_->Reply(port_, 0, nullptr, 0).error, ERROR_BAD_COMMAND);
  EXPECT_EQ(client_->FreePort(port_).error, ERROR_BAD_COMMAND);
  std::shared_ptr<Message> orphan = driver().Post(kService, 1, Bytes(1));
  EXPECT_EQ(orphan->outcome(), Outcome::kFailedBack) << "no port: failed back at once";
  EXPECT_EQ(Delta().posted, 0u) << "a refused post is not counted";
}

TEST_F(MessageTest, ClosingTheHandleFlushesEveryPort) {
  PendingReceive& pended = PendReceive(0);
  std::shared_ptr<Message> queued = driver().Post(kService, 1, Bytes(1), 1);
  client_->Close();
  ASSERT_TRUE(pended.Wait());
  EXPECT_FALSE(pended.Result());
  EXPECT_EQ(pended.error(), ERROR_OPERATION_ABORTED);
  EXPECT_EQ(queued->outcome(), Outcome::kFailedBack);
  EXPECT_FALSE(driver().PortOf(kService).has_value());
  DeviceClient reopened;
  EXPECT_EQ(reopened.AllocatePort(kService, 1).word, 0u) << "every port is free again";
}

}  // namespace
}  // namespace test
}  // namespace sim
}  // namespace qrv
