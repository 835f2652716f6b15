// What one message costs a worker in kernel transitions, counted by the
// seam on the worker's own thread between two calls of the callback. A
// message may cost: the wait on the start and stop events, the receive, the
// wait for its completion (pending path) or the pause after a receive that
// completed at once (the worker's design cap), and the reply. No kernel
// object is created or closed per message.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "calls_per_message.h"
#include "library_fixture.h"
#include "platform/posix/device.h"

namespace qrv {

namespace {

constexpr uint32_t kService = 9;
constexpr size_t kBudget = 4;

// Kernel calls and callback marks, by thread, in order.
struct CallLog {
  std::mutex mutex;
  std::vector<std::pair<std::thread::id, std::string>> calls;
  std::condition_variable released_changed;
  bool released = false;  // the first callback may return
};
CallLog g_log;

void Record(const char* name) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  g_log.calls.emplace_back(std::this_thread::get_id(), name);
}

// Marks each message; the first one is held until the test releases it, so
// that the next message is already queued when the worker asks for it.
void WINAPI MarkAndAnswer(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                          void* context, void** answer, uint32_t* answerLength) {
  Record("callback");
  std::unique_lock<std::mutex> lock(g_log.mutex);
  g_log.released_changed.wait(lock, [] { return g_log.released; });
  lock.unlock();
  AnswerWithPayload(allocator, message, length, context, answer, answerLength);
}

// The calls between each callback and the next on the thread of the first.
std::vector<std::vector<std::string>> CallsPerMessage() {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  return testing_common::CallsPerMessage(g_log.calls);
}

class KernelTransitions : public LibraryTest {
 protected:
  void TearDown() override {
    qrv::posix::SetKernelCallObserver(nullptr);
    LibraryTest::TearDown();
  }
};

}  // namespace

TEST_F(KernelTransitions, AMessageCostsAtMostFourOnEitherPath) {
  ASSERT_EQ(Init(0), S_OK);
  ASSERT_EQ(Register(kService, &MarkAndAnswer, nullptr), S_OK);
  ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait));
  qrv::posix::SetKernelCallObserver(&Record);
  // Message 1 is held in the callback while message 2 queues for the same
  // thread index: its receive completes at once. Messages 3 and 4 find the
  // worker's receive pending.
  auto first = Driver().Post(kService, 1, {1}, 0);
  ASSERT_TRUE(WaitUntil([] { return !CallsPerMessage().empty(); })) << "no callback";
  auto second = Driver().Post(kService, 1, {2}, 0);
  {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    g_log.released = true;
  }
  g_log.released_changed.notify_all();
  for (const auto& message : {first, second}) ASSERT_TRUE(message->WaitFinal(kWait));
  for (uint8_t payload : {3, 4}) {
    ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait));
    ASSERT_TRUE(Driver().Post(kService, 1, {payload}, 0)->WaitFinal(kWait));
  }
  qrv::posix::SetKernelCallObserver(nullptr);

  testing_common::ExpectEachPathWithinBudget(CallsPerMessage(), kBudget);
}

}  // namespace qrv
