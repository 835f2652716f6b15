#include "sim/driver/message.h"

#include <utility>

namespace qrv {
namespace sim {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kQueued:
      return "queued";
    case Outcome::kAssigned:
      return "assigned";
    case Outcome::kDelivered:
      return "delivered";
    case Outcome::kAnswered:
      return "answered";
    case Outcome::kNotWanted:
      return "not wanted";
    case Outcome::kFailedBack:
      return "failed back";
  }
  return "?";
}

static bool Final(Outcome outcome) {
  return outcome == Outcome::kAnswered || outcome == Outcome::kNotWanted ||
         outcome == Outcome::kFailedBack;
}

Message::Message(uint32_t id, uint32_t serviceId, uint32_t header, std::vector<uint8_t> payload)
    : id_(id), serviceId_(serviceId), header_(header), payload_(std::move(payload)) {}

Outcome Message::outcome() const {
  std::lock_guard<std::mutex> lock(mu_);
  return outcome_;
}

bool Message::IsFinal() const { return Final(outcome()); }

bool Message::WaitFinal(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return finalCv_.wait_for(lock, timeout, [this] { return Final(outcome_); });
}

std::vector<uint8_t> Message::reply() const {
  std::lock_guard<std::mutex> lock(mu_);
  return reply_;
}

uint32_t Message::threadIndex() const {
  std::lock_guard<std::mutex> lock(mu_);
  return threadIndex_;
}

void Message::MoveTo(Outcome outcome, uint32_t threadIndex) {
  std::lock_guard<std::mutex> lock(mu_);
  outcome_ = outcome;
  if (threadIndex != kNoThread) threadIndex_ = threadIndex;
  if (Final(outcome)) finalCv_.notify_all();
}

void Message::Answer(std::vector<uint8_t> reply) {
  std::lock_guard<std::mutex> lock(mu_);
  reply_ = std::move(reply);
  outcome_ = Outcome::kAnswered;
  finalCv_.notify_all();
}

}  // namespace sim
}  // namespace qrv
