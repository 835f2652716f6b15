// Events and waits: the reset kinds, which object a wait reports and
// consumes, timeouts, and the failures the library checks for.
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

#include "platform/posix/device.h"
#include "test_support.h"

namespace seam_test {
namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  ScopedHandle event(NewEvent(true, false));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(EventTest, AutoResetReleasesExactlyOneWait) {
  ScopedHandle event(NewEvent(false, true));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event.get()));
  ASSERT_TRUE(SetEvent(event.get()));  // Setting twice still releases one wait.
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(EventTest, NamedEventsAreRefused) {
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, L"name"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WaitAnyTest, ReportsLowestSignalledIndexAndConsumesOnlyThatEvent) {
  // The library's workers wait for {stop, start}: with both set, stop wins
  // and the start request must survive for whoever looks next.
  ScopedHandle stop(NewEvent(false, true));
  ScopedHandle start(NewEvent(false, true));
  const HANDLE handles[] = {stop.get(), start.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(SignalledNow(stop.get()));
  EXPECT_TRUE(SignalledNow(start.get()));
}

TEST(WaitAnyTest, ReportsTheIndexOfTheOneSignalled) {
  ScopedHandle first(NewEvent(true, false));
  ScopedHandle second(NewEvent(false, true));
  const HANDLE handles[] = {first.get(), second.get()};
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_TIMEOUT);
}

TEST(WaitAllTest, ConsumesEveryAutoResetEventOnceAllAreSet) {
  ScopedHandle automatic(NewEvent(false, true));
  ScopedHandle manual(NewEvent(true, false));
  const HANDLE handles[] = {automatic.get(), manual.get()};
  // Not all set: the wait must not take the auto-reset event either.
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual.get()));
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(SignalledNow(automatic.get()));
  EXPECT_TRUE(SignalledNow(manual.get()));
}

TEST(WaitAllTest, WakesWhenTheLastObjectIsSetByAnotherThread) {
  ScopedHandle first(NewEvent(false, true));
  ScopedHandle last(NewEvent(false, false));
  auto set_last = [&]() -> DWORD { return SetEvent(last.get()) ? 0 : 1; };
  const HANDLE handles[] = {first.get(), last.get()};
  ScopedHandle setter(StartThread(&set_last));
  EXPECT_EQ(WaitForMultipleObjects(2, handles, TRUE, kBoundMs), WAIT_OBJECT_0);
  EXPECT_TRUE(SignalledInTime(setter.get()));
  EXPECT_FALSE(SignalledNow(first.get()));
  EXPECT_FALSE(SignalledNow(last.get()));
}

TEST(WaitTest, TimesOutAfterTheGivenTime) {
  ScopedHandle event(NewEvent(true, false));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(event.get(), 30), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(30));
}

TEST(WaitTest, FailsOnBadHandlesAndCounts) {
  ScopedHandle event(NewEvent(true, true));
  HANDLE closed = NewEvent(true, true);
  ASSERT_TRUE(CloseHandle(closed));

  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // One bad handle fails the whole wait, even next to a signalled one.
  const HANDLE mixed[] = {event.get(), closed};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, mixed, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  const HANDLE one[] = {event.get()};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, one, FALSE, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  std::vector<HANDLE> too_many(MAXIMUM_WAIT_OBJECTS + 1, event.get());
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, too_many.data(), FALSE, 0),
            WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(HandleTest, ClosingAHandleTwiceOrANullHandleFails) {
  HANDLE event = NewEvent(true, false);
  EXPECT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(HandleTest, ClosingAHandleUnderAWaitLeavesTheWaitSound) {
  // The wait holds its own reference: closing the handle mid-wait must not
  // free the event under it (ASan checks), nor move the wait to the next
  // object, which takes the freed value at once, as on Windows.
  HANDLE event = NewEvent(false, false);
  ScopedHandle release(NewEvent(true, false));
  const HANDLE handles[] = {event, release.get()};
  auto waiter = [&]() -> DWORD { return WaitForMultipleObjects(2, handles, FALSE, kBoundMs); };
  ScopedHandle thread(StartThread(&waiter));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
  while (qrv::posix::WaitsBlockedOn(event) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(qrv::posix::WaitsBlockedOn(event), 1u)
      << "no wait under way within " << kBoundMs << " ms";
  ASSERT_TRUE(CloseHandle(event));
  ScopedHandle fresh(NewEvent(true, true));
  EXPECT_EQ(fresh.get(), event);
  ASSERT_TRUE(SetEvent(release.get()));
  ASSERT_TRUE(SignalledInTime(thread.get()));
  DWORD result = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &result));
  EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
}

TEST(HandleTest, FreedValuesAreReusedLastInFirstOutAndStaleUsesAreCounted) {
  HANDLE first = NewEvent(true, false);
  HANDLE second = NewEvent(true, false);
  const size_t invalidBefore = qrv::posix::InvalidHandleUses();
  ASSERT_TRUE(CloseHandle(first));
  ASSERT_TRUE(CloseHandle(second));
  EXPECT_FALSE(SetEvent(second));  // stale: names nothing yet
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_EQ(qrv::posix::InvalidHandleUses(), invalidBefore + 2);
  ScopedHandle reusedSecond(NewEvent(true, false));
  ScopedHandle reusedFirst(NewEvent(true, false));
  ScopedHandle brandNew(NewEvent(true, false));
  EXPECT_EQ(reusedSecond.get(), second);
  EXPECT_EQ(reusedFirst.get(), first);
  EXPECT_NE(brandNew.get(), first);
  EXPECT_NE(brandNew.get(), second);
}

// A token passed around a ring of threads, each waiting on its own
// auto-reset event: a lost or doubled wake-up stalls or miscounts the ring.
TEST(WaitStressTest, TokenRingOfFiftyThreadsLosesNoWakeUp) {
  constexpr int kThreads = 50;
  constexpr int kLaps = 40;
  std::deque<ScopedHandle> events;
  for (int i = 0; i < kThreads; ++i) events.emplace_back(NewEvent(false, false));
  ScopedHandle stop(NewEvent(true, false));
  ScopedHandle done(NewEvent(false, false));
  std::atomic<int> passes{0};
  struct Member {
    HANDLE stop, mine, next;
    std::atomic<int>* passes;
    DWORD operator()() {
      const HANDLE handles[] = {stop, mine};
      for (;;) {
        const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (result != WAIT_OBJECT_0 + 1) return result;
        passes->fetch_add(1);
        SetEvent(next);
      }
    }
  };
  std::vector<Member> members;
  for (int i = 0; i < kThreads; ++i) {
    // The last member hands the token back to the test.
    HANDLE next = i + 1 < kThreads ? events[i + 1].get() : done.get();
    members.push_back({stop.get(), events[i].get(), next, &passes});
  }
  std::deque<ScopedHandle> threads;
  for (Member& member : members) threads.emplace_back(StartThread(&member));
  for (int lap = 0; lap < kLaps; ++lap) {
    ASSERT_TRUE(SetEvent(events[0].get()));
    ASSERT_TRUE(SignalledInTime(done.get())) << "token lost in lap " << lap;
  }
  ASSERT_TRUE(SetEvent(stop.get()));
  for (const ScopedHandle& thread : threads) {
    ASSERT_TRUE(SignalledInTime(thread.get()));
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, WAIT_OBJECT_0);
  }
  EXPECT_EQ(passes.load(), kThreads * kLaps);
}

}  // namespace
}  // namespace seam_test
