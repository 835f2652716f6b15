// Ctrl-C for the demo: the first SIGINT asks the run to wind down (stop the
// traffic, UnInit, summary); a second one ends the process at once.
#ifndef QUORVEL_TOOLS_DEMO_INTERRUPT_H_
#define QUORVEL_TOOLS_DEMO_INTERRUPT_H_

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "console.h"

namespace demo {

class Interrupt {
 public:
  // Exit status after a second SIGINT (128 + SIGINT, as a shell reports it).
  static constexpr int kExitStatus = 130;

  // Blocks SIGINT in the calling thread, and so in every thread created
  // after it, and starts the thread that takes it with sigwait. REQUIRES:
  // constructed on the main thread before any other thread exists.
  explicit Interrupt(Console& console);
  // Stops the watching thread and restores the signal mask.
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  bool requested() const { return requested_.load(); }
  // The flag the traffic's senders poll.
  const std::atomic<bool>& flag() const { return requested_; }
  // Waits for the duration or the first SIGINT; true when interrupted.
  bool WaitFor(std::chrono::duration<double> duration);
  // Seconds from construction to the first SIGINT. REQUIRES: requested().
  double SecondsUntilRequest();

 private:
  void Watch();

  Console& console_;
  sigset_t previousMask_;
  std::atomic<bool> requested_{false};
  std::atomic<bool> closing_{false};
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::mutex mu_;
  std::condition_variable changed_;
  double secondsUntilRequest_ = 0;  // GUARDED_BY(mu_)
  std::thread watcher_;
};

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_INTERRUPT_H_
