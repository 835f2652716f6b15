#include "sim/driver/message.h"

#include <algorithm>
#include <utility>

#include "qrvctl.h"
#include "sim/driver/model_glue.h"

namespace qrv {
namespace sim {
namespace {

Outcome OutcomeOf(uint32_t state) {
  switch (state) {
    case QRVCTL_MSG_QUEUED:
      return Outcome::kQueued;
    case QRVCTL_MSG_ASSIGNED:
      return Outcome::kAssigned;
    case QRVCTL_MSG_DELIVERED:
      return Outcome::kDelivered;
    case QRVCTL_MSG_ANSWERED:
      return Outcome::kAnswered;
    case QRVCTL_MSG_NOT_WANTED:
      return Outcome::kNotWanted;
  }
  return Outcome::kFailedBack;
}

bool Final(Outcome outcome) {
  return outcome == Outcome::kAnswered || outcome == Outcome::kNotWanted ||
         outcome == Outcome::kFailedBack;
}

}  // namespace

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

Message::Message(ModelGlue* glue, uint32_t id, uint32_t serviceId, uint32_t header,
                 std::vector<uint8_t> payload)
    : glue_(id != 0 ? glue : nullptr),
      id_(id),
      serviceId_(serviceId),
      header_(header),
      payload_(std::move(payload)) {}

// The driver keeps a message until someone releases it; a view that goes
// away releases it now or, while it is still in flight, once it is final.
Message::~Message() {
  if (glue_ == nullptr) return;
  const QrvCtlOutcomeRequest request = {id_, QRVCTL_RELEASE_WHEN_FINAL};
  QrvCtlOutcome outcome;
  glue_->Control(QRVCTL_IOCTL_OUTCOME, &request, sizeof(request), &outcome, sizeof(outcome));
}

Message::State Message::ReadLocked() const {
  if (glue_ == nullptr) return State{Outcome::kFailedBack, kNoThread, 0};
  const QrvCtlOutcomeRequest request = {id_, 0};
  QrvCtlOutcome outcome{};
  glue_->Read(QRVCTL_IOCTL_OUTCOME, &request, sizeof(request), &outcome, sizeof(outcome));
  return State{OutcomeOf(outcome.state), outcome.slot, outcome.replyLength};
}

Message::State Message::Read() const {
  if (glue_ == nullptr) return ReadLocked();
  State state{};
  glue_->Locked([&] { state = ReadLocked(); });
  return state;
}

Outcome Message::outcome() const { return Read().outcome; }

bool Message::IsFinal() const { return Final(outcome()); }

bool Message::WaitFinal(std::chrono::milliseconds timeout) const {
  if (glue_ == nullptr) return true;
  return glue_->WaitUntilSettled([&] { return Final(ReadLocked().outcome); }, timeout);
}

std::vector<uint8_t> Message::reply() const {
  const State state = Read();
  if (state.outcome != Outcome::kAnswered || state.replyLength == 0) return {};
  // A reply is fixed once it arrived, so a second read finds the same.
  const uint32_t kept = std::min<uint32_t>(state.replyLength, QRVCTL_MAX_REPLY);
  std::vector<uint8_t> answer(sizeof(QrvCtlOutcome) + kept);
  const QrvCtlOutcomeRequest request = {id_, 0};
  glue_->Locked([&] {
    glue_->Read(QRVCTL_IOCTL_OUTCOME, &request, sizeof(request), answer.data(),
                static_cast<uint32_t>(answer.size()));
  });
  return std::vector<uint8_t>(answer.begin() + sizeof(QrvCtlOutcome), answer.end());
}

uint32_t Message::threadIndex() const { return Read().threadIndex; }

}  // namespace sim
}  // namespace qrv
