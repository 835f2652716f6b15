// What the stress program's one service callback does with a message, chosen
// by the message's first payload byte, and the reply each choice must yield.
#ifndef QUORVEL_TESTS_STRESS_BEHAVIOURS_H_
#define QUORVEL_TESTS_STRESS_BEHAVIOURS_H_

#include <cstdint>
#include <random>
#include <vector>

#include "quorvel/quorvel.h"

enum class Behaviour : uint8_t {
  kEcho,        // answers the payload
  kTransform,   // answers every byte xor 0xA5
  kManyBlocks,  // borrows 64 blocks, answers the payload from the last
  kNullAnswer,  // answers a null address with a non-zero length
  kFixedBlock,  // answers 16 bytes derived from the length
  kThrow,       // lets an exception escape (ends that worker)
  kCount
};

// A payload of `size` bytes (size 0: echo) that asks for `behaviour`.
std::vector<uint8_t> MakePayload(Behaviour behaviour, size_t size, std::mt19937_64& random);
Behaviour BehaviourOf(const std::vector<uint8_t>& payload);
// The reply the callback gives; meaningless for kThrow.
std::vector<uint8_t> ExpectedReply(const std::vector<uint8_t>& payload);

void QUORVEL_STDCALL StressCallback(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                    void* context, void** answer, uint32_t* answerLength);

#endif  // QUORVEL_TESTS_STRESS_BEHAVIOURS_H_
