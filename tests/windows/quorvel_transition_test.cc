// What one message costs a worker of the shipped QUORVEL.DLL in kernel
// transitions, counted through its import slots on the worker's own thread
// between two calls of the callback. A message may cost: the wait on the
// start and stop events, the receive, the wait for its completion (pending
// path) or the pause after a receive that completed at once, and the reply.
// No kernel object is created or closed per message.
#include <cstring>
#include <string>
#include <vector>

#include "calls_per_message.h"
#include "host/host_fixture.h"
#include "host/kernel_call_counter.h"

namespace qrv {
namespace wintest {
namespace {

constexpr uint32_t kService = 9;
constexpr size_t kBudget = 4;

// Marks each message; the first one waits at the gate, so that the next
// message is queued when the worker asks for it.
void QUORVEL_STDCALL MarkAndAnswer(QuorvelAllocator* allocator, void* message, uint32_t length,
                                   void* gate, void** answer, uint32_t* answerLength) {
  NoteKernelCall("callback");
  static_cast<Gate*>(gate)->Pass();
  void* copy = allocator->Allocate(length);
  if (copy == nullptr) return;
  std::memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

// The calls between each callback and the next on the thread of the first.
std::vector<std::vector<std::string>> CallsPerMessage() {
  return testing_common::CallsPerMessage(KernelCalls());
}

class Transitions : public HostTest {};

TEST_F(Transitions, AMessageCostsAtMostFourOnEitherPath) {
  std::string reason;
  ASSERT_TRUE(CountKernelCalls(GetModuleHandleA(kLibraryName), &reason)) << reason;
  ASSERT_EQ(Init(), QUORVEL_OK);
  Gate& gate = NewGate();
  ASSERT_EQ(Register(kService, reinterpret_cast<const void*>(&MarkAndAnswer), &gate), QUORVEL_OK);
  ASSERT_TRUE(WaitForPendingReceives(kService, 3)) << "the workers never received";
  // Message 1 waits at the gate while message 2 queues for the same thread
  // index: its receive completes at once. Messages 3 and 4 find the
  // worker's receive pending.
  const uint32_t first = Post(kService, 1, Bytes(4, 1), 0);
  ASSERT_TRUE(gate.WaitForWaiting(1, kWaitMs)) << "no callback";
  const uint32_t second = Post(kService, 1, Bytes(4, 2), 0);
  gate.Open();
  for (uint32_t id : {first, second}) AwaitOutcome(id);
  for (uint8_t seed : {3, 4}) {
    ASSERT_TRUE(WaitForPendingReceives(kService, 3)) << "the worker never received again";
    AwaitOutcome(Post(kService, 1, Bytes(4, seed), 0));
  }

  testing_common::ExpectEachPathWithinBudget(CallsPerMessage(), kBudget);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
