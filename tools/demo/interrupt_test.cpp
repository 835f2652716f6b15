// The demo's Ctrl-C handling in a child process: the first SIGINT is only a
// request, the second ends the process at once with 130.
#include "interrupt.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

namespace {

void InterruptTwice() {
  alarm(20);  // bounds the child: SIGALRM kills it, which fails the test
  demo::Console console;
  demo::Interrupt interrupt(console);
  if (interrupt.requested()) _Exit(2);
  kill(getpid(), SIGINT);
  if (!interrupt.WaitFor(std::chrono::seconds(10))) _Exit(3);  // first SIGINT never seen
  if (interrupt.SecondsUntilRequest() < 0) _Exit(4);
  kill(getpid(), SIGINT);
  for (;;) pause();  // the second SIGINT ends the process
}

TEST(DemoInterrupt, FirstSigintRequestsAndTheSecondExitsAtOnce) {
  EXPECT_EXIT(InterruptTwice(), ::testing::ExitedWithCode(demo::Interrupt::kExitStatus), "");
}

}  // namespace
