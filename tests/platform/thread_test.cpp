// Threads, per-thread last error, thread-local slots and critical sections.
#include "test_support.h"

namespace seam_test {
namespace {

TEST(ThreadTest, HandleSignalsAtTheEndWithTheRoutinesResult) {
  ScopedHandle release(NewEvent(true, false));
  auto body = [&]() -> DWORD { return WaitForSingleObject(release.get(), kBoundMs) + 7; };
  ScopedHandle thread(StartThread(&body));

  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);

  ASSERT_TRUE(SetEvent(release.get()));
  ASSERT_TRUE(SignalledInTime(thread.get()));
  ASSERT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 7u);
  // A thread's end is not consumed by a wait: it stays signalled.
  EXPECT_TRUE(SignalledNow(thread.get()));
}

TEST(ThreadTest, ReportsItsIdToCreatorAndToItself) {
  DWORD inside = 0;
  auto body = [&]() -> DWORD {
    inside = GetCurrentThreadId();
    return 0;
  };
  DWORD reported = 0;
  ScopedHandle thread(CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return (*static_cast<decltype(body)*>(p))(); }, &body, 0,
      &reported));
  ASSERT_NE(thread.get(), nullptr);
  ASSERT_TRUE(SignalledInTime(thread.get()));
  EXPECT_NE(reported, 0u);
  EXPECT_EQ(inside, reported);
  EXPECT_EQ(GetThreadId(thread.get()), reported);
  EXPECT_EQ(GetThreadId(nullptr), 0u);
  EXPECT_NE(GetCurrentThreadId(), reported);
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(ThreadTest, RefusesCreationFlags) {
  auto body = []() -> DWORD { return 0; };
  SetLastError(0);
  EXPECT_EQ(
      CreateThread(
          nullptr, 0, [](LPVOID) -> DWORD { return 0; }, &body, 4 /* CREATE_SUSPENDED */, nullptr),
      nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ThreadTest, KeepsRunningAfterItsHandleIsClosed) {
  ScopedHandle release(NewEvent(true, false));
  ScopedHandle finished(NewEvent(true, false));
  auto body = [&]() -> DWORD {
    WaitForSingleObject(release.get(), kBoundMs);
    return SetEvent(finished.get()) ? 0 : 1;
  };
  ASSERT_TRUE(CloseHandle(StartThread(&body)));
  ASSERT_TRUE(SetEvent(release.get()));
  EXPECT_TRUE(SignalledInTime(finished.get()));
}

TEST(LastErrorTest, IsKeptPerThread) {
  SetLastError(ERROR_GEN_FAILURE);
  DWORD seen_at_start = 1;
  DWORD seen_after_set = 0;
  auto body = [&]() -> DWORD {
    seen_at_start = GetLastError();
    SetLastError(ERROR_MORE_DATA);
    seen_after_set = GetLastError();
    return 0;
  };
  ScopedHandle thread(StartThread(&body));
  ASSERT_TRUE(SignalledInTime(thread.get()));
  EXPECT_EQ(seen_at_start, ERROR_SUCCESS);
  EXPECT_EQ(seen_after_set, ERROR_MORE_DATA);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
}

// A slot starts null on every thread, the creating one included, and each
// thread sees only its own value: the library tells its threads by it.
TEST(ThreadLocalSlotTest, StartsNullAndIsKeptPerThread) {
  const DWORD slot = TlsAlloc();
  ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
  EXPECT_EQ(TlsGetValue(slot), nullptr);
  int mine = 0;
  int theirs = 0;
  ASSERT_TRUE(TlsSetValue(slot, &mine));
  LPVOID seen = &theirs;
  auto body = [&]() -> DWORD {
    seen = TlsGetValue(slot);
    return TlsSetValue(slot, &theirs) ? 0 : 1;
  };
  ScopedHandle thread(StartThread(&body));
  ASSERT_TRUE(SignalledInTime(thread.get()));
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(TlsGetValue(slot), &mine);
  EXPECT_TRUE(TlsFree(slot));
}

class CriticalSectionTest : public ::testing::Test {
 protected:
  CriticalSectionTest() { InitializeCriticalSection(&cs_); }
  ~CriticalSectionTest() override { DeleteCriticalSection(&cs_); }

  // Whether another thread can enter the section right now.
  bool OtherThreadCanEnter() {
    auto body = [this]() -> DWORD {
      if (!TryEnterCriticalSection(&cs_)) return 0;
      LeaveCriticalSection(&cs_);
      return 1;
    };
    ScopedHandle thread(StartThread(&body));
    DWORD entered = 2;
    EXPECT_TRUE(SignalledInTime(thread.get()));
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &entered));
    return entered == 1;
  }

  CRITICAL_SECTION cs_;
};

TEST_F(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads) {
  EnterCriticalSection(&cs_);
  ASSERT_TRUE(TryEnterCriticalSection(&cs_));
  EXPECT_FALSE(OtherThreadCanEnter());
  LeaveCriticalSection(&cs_);
  EXPECT_FALSE(OtherThreadCanEnter()) << "one leave must not release two entries";
  LeaveCriticalSection(&cs_);
  EXPECT_TRUE(OtherThreadCanEnter());
}

}  // namespace
}  // namespace seam_test
