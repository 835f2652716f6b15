#include "behaviours.h"

#include <cstring>
#include <stdexcept>

namespace {

constexpr uint32_t kManyBlocks = 64;
constexpr uint32_t kFixedAnswer = 16;

std::vector<uint8_t> FixedAnswer(uint32_t length) {
  std::vector<uint8_t> bytes(kFixedAnswer);
  for (uint32_t i = 0; i < kFixedAnswer; ++i) bytes[i] = static_cast<uint8_t>(length * 31 + i);
  return bytes;
}

// Answers `bytes` from a block of the allocator; no answer when it has none.
void AnswerWith(NIMUC::IAllocator* allocator, const std::vector<uint8_t>& bytes, void** answer,
                uint32_t* answerLength) {
  void* block = allocator->Allocate(static_cast<uint32_t>(bytes.size()));
  if (block == nullptr) return;
  if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
  *answer = block;
  *answerLength = static_cast<uint32_t>(bytes.size());
}

}  // namespace

std::vector<uint8_t> MakePayload(Behaviour behaviour, size_t size, std::mt19937_64& random) {
  std::vector<uint8_t> payload(size);
  for (uint8_t& byte : payload) byte = static_cast<uint8_t>(random());
  if (!payload.empty()) payload[0] = static_cast<uint8_t>(behaviour);
  return payload;
}

Behaviour BehaviourOf(const std::vector<uint8_t>& payload) {
  if (payload.empty() || payload[0] >= static_cast<uint8_t>(Behaviour::kCount)) {
    return Behaviour::kEcho;
  }
  return static_cast<Behaviour>(payload[0]);
}

std::vector<uint8_t> ExpectedReply(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply;
  switch (BehaviourOf(payload)) {
    case Behaviour::kTransform:
      for (uint8_t byte : payload) reply.push_back(static_cast<uint8_t>(byte ^ 0xA5));
      return reply;
    case Behaviour::kNullAnswer:
    case Behaviour::kThrow:
      return reply;
    case Behaviour::kFixedBlock:
      return FixedAnswer(static_cast<uint32_t>(payload.size()));
    default:
      return payload;
  }
}

void QUORVEL_STDCALL StressCallback(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                    void*, void** answer, uint32_t* answerLength) {
  const auto* bytes = static_cast<const uint8_t*>(message);
  const std::vector<uint8_t> payload(bytes, bytes + length);
  switch (BehaviourOf(payload)) {
    case Behaviour::kManyBlocks:
      for (uint32_t i = 0; i < kManyBlocks; ++i) {
        if (void* block = allocator->Allocate(i * 13 % 200)) std::memset(block, 0xEE, i * 13 % 200);
      }
      break;
    case Behaviour::kNullAnswer:
      *answer = nullptr;
      *answerLength = length + 1;
      return;
    case Behaviour::kThrow:
      throw std::runtime_error("callback failure");
    default:
      break;
  }
  AnswerWith(allocator, ExpectedReply(payload), answer, answerLength);
}
