// The test hooks that make a chosen later creation fail.
#include "platform/posix/device.h"
#include "test_support.h"

namespace seam_test {
namespace {

DWORD WINAPI ReturnZero(LPVOID) { return 0; }

class CreationFailuresTest : public ::testing::Test {
 protected:
  ~CreationFailuresTest() override { qrv::posix::ClearCreationFailures(); }
};

TEST_F(CreationFailuresTest, EventCreationFailsAfterTheSkippedOnesOnce) {
  qrv::posix::FailEventCreation(1, ERROR_NO_SYSTEM_RESOURCES);
  ScopedHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_NE(first.get(), nullptr);
  SetLastError(0);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
  ScopedHandle third(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_NE(third.get(), nullptr) << "the hook must be spent";
}

TEST_F(CreationFailuresTest, ThreadCreationFailsWithoutRunningTheThread) {
  qrv::posix::FailThreadCreation(0, ERROR_NOT_ENOUGH_MEMORY);
  // Events are counted apart from threads.
  ScopedHandle event(NewEvent(true, false));
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  ScopedHandle thread(CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_TRUE(SignalledInTime(thread.get()));
}

TEST_F(CreationFailuresTest, ClearingDisarmsBothHooks) {
  qrv::posix::FailEventCreation(0, ERROR_NO_SYSTEM_RESOURCES);
  qrv::posix::FailThreadCreation(0, ERROR_NO_SYSTEM_RESOURCES);
  qrv::posix::ClearCreationFailures();
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_NE(event.get(), nullptr);
  ScopedHandle thread(CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_TRUE(SignalledInTime(thread.get()));
}

}  // namespace
}  // namespace seam_test
