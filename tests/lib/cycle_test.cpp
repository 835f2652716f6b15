// Many Init/UnInit cycles with 15 services and traffic: the heap, the handle
// table and the thread list end where they began.
#include <dirent.h>
#include <malloc.h>

#include <future>
#include <thread>

#include "library_fixture.h"
#include "platform/module_thread.h"
#include "platform/posix/device.h"

namespace qrv {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QRV_SANITIZED_HEAP 1
// The sanitizer runtime's count of live heap bytes (GCC ships no header).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using qrv::sim::Message;

constexpr uint32_t kServices = 15;

// Bytes the process's heap has lent and not had back, by the allocator's own
// accounting: the sanitizer's allocator, or glibc's main arena, which every
// thread uses once the test limits malloc to one arena (CTest also turns
// glibc's per-thread caches off, whose blocks would count as in use).
size_t HeapInUse() {
#if defined(QRV_SANITIZED_HEAP)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

size_t ThreadCount() {
  size_t count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(tasks);
  }
  return count;
}

// A thread's kernel task may outlive the moment its handle signals by a
// little; wait for the count to come down, with a bound.
bool ThreadsBackTo(size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (ThreadCount() > count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// One Init, 15 services, one message each (some larger than the receive
// buffer), all answered, then UnInit.
void ServeOneCycle(int cycle) {
  ASSERT_EQ(Init(0), S_OK) << "cycle " << cycle;
  for (uint32_t id = 0; id < kServices; ++id)
    ASSERT_EQ(Register(id, &AnswerWithPayload, nullptr), S_OK);
  std::vector<std::shared_ptr<Message>> posted;
  for (uint32_t id = 0; id < kServices; ++id) {
    posted.push_back(qrv::sim::SimDriver::Instance().Post(
        id, id + 1, std::vector<uint8_t>(id * 150, static_cast<uint8_t>(cycle))));
  }
  for (const auto& message : posted) {
    ASSERT_TRUE(message->WaitFinal(kWait)) << "cycle " << cycle;
    ASSERT_EQ(message->reply(), message->payload());
  }
  UnInit();
}

}  // namespace

using Cycles = LibraryTest;

// 1000 cycles leave the heap, the handle table and the thread list where
// they were. TSan runs 200: its thread starts are many times slower, and a
// leak of anything per cycle shows just as well. ASan runs 300: its leak
// check at exit reports any block left behind whatever the count, and the
// growth check still sees a leak of 110 bytes a cycle.
TEST_F(Cycles, InitUnInitWithTrafficLeavesNothingBehind) {
#if defined(__SANITIZE_THREAD__)
  constexpr int kCycles = 200;
#elif defined(__SANITIZE_ADDRESS__)
  constexpr int kCycles = 300;
#else
  constexpr int kCycles = 1000;
#endif
#if !defined(QRV_SANITIZED_HEAP)
  mallopt(M_ARENA_MAX, 1);
#endif
  // Warm-up: first-use singletons and the test's own record lists settle.
  constexpr int kWarmUp = 20;
  for (int cycle = 0; cycle < kWarmUp; ++cycle) ASSERT_NO_FATAL_FAILURE(ServeOneCycle(cycle));
  Sink().Reset();
  Driver().ClearRequestLog();
  const size_t heap = HeapInUse();
  const size_t handles = qrv::posix::OpenHandleCount();
  const size_t threads = ThreadCount();
  for (int cycle = kWarmUp; cycle < kWarmUp + kCycles; ++cycle) {
    ASSERT_NO_FATAL_FAILURE(ServeOneCycle(cycle));
    Sink().Reset();
    Driver().ClearRequestLog();
  }
  EXPECT_EQ(RunningModuleThreads(), 0u);
  EXPECT_EQ(qrv::posix::OpenHandleCount(), handles);
  EXPECT_TRUE(ThreadsBackTo(threads)) << ThreadCount() << " threads, " << threads << " before";
  // The test's own record lists keep their capacity across resets and may
  // grow once more; one worker buffer leaked per cycle would be 200 KiB or more.
  constexpr size_t kSlack = 32 * 1024;
  EXPECT_LE(HeapInUse(), heap + kSlack) << "heap in use grew from " << heap;
}

}  // namespace qrv

namespace qrv {

// A driver that ignores cancellation holds the free and the receives of
// every cycle: each is abandoned with the worker's blocks (the driver
// writes a reply into none of them here). Once the driver finishes them,
// the next entry point frees every record, event and block: the heap and
// the handle table come back to where they were after the first cycle.
TEST_F(Cycles, AbandonedRequestsAreFreedOnceTheDriverLetsGo) {
  constexpr uint32_t kService = 6;
  constexpr int kCycles = 3;
#if !defined(QRV_SANITIZED_HEAP)
  mallopt(M_ARENA_MAX, 1);
#endif
  ASSERT_EQ(Init(0), S_OK);
  size_t heap = 0;
  size_t handles = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    Driver().DelayRequests(qrv::sim::wire::kFreePort, std::chrono::hours(24));
    Driver().IgnoreCancellation(0, 0xFFFFFFFFu);
    ASSERT_EQ(Register(kService, &AnswerWithPayload, nullptr), S_OK);
    ASSERT_TRUE(Driver().WaitForPendingReceives(kService, 3, kWait)) << "cycle " << cycle;
    auto unregister = std::async(std::launch::async, [] { return Unregister(kService); });
    ASSERT_TRUE(WaitUntil([] { return qrv::posix::ThreadsHeldForRequests() == 3; }))
        << "cycle " << cycle << ": the workers never abandoned their receives";
    Driver().ClearFaults();
    ASSERT_EQ(Driver().FinishDelayed(qrv::sim::wire::kFreePort), 1u) << "cycle " << cycle;
    // A watchdog only: the finished free lets the held workers end, and with them Unregister.
    ASSERT_EQ(unregister.wait_for(kWait), std::future_status::ready)
        << "cycle " << cycle << ": Unregister never returned after the driver finished the free; "
        << qrv::posix::ThreadsHeldForRequests() << " threads still held, "
        << Driver().DescribeRequests(qrv::sim::wire::kReceive);
    ASSERT_EQ(unregister.get(), S_OK);
    ASSERT_EQ(Register(kService + 1, &AnswerWithPayload, nullptr), S_OK);  // reclaims
    ASSERT_EQ(Unregister(kService + 1), S_OK);
    Sink().Reset();
    Driver().ClearRequestLog();
    if (cycle == 0) {
      heap = HeapInUse();
      handles = qrv::posix::OpenHandleCount();
    }
  }
  EXPECT_EQ(qrv::posix::OpenHandleCount(), handles) << "records or their events were kept";
  // One cycle kept for good was 4 records, 3 receive buffers and their events.
  constexpr size_t kSlack = 1024;
  EXPECT_LE(HeapInUse(), heap + kSlack) << "heap in use grew from " << heap;
  UnInit();
}

}  // namespace qrv
