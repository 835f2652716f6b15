// Bounds every call the stress program makes into the library: a call that
// does not return in time is a hang, and the process dumps every thread's
// stack and aborts rather than sit until the suite's timeout.
#ifndef QUORVEL_TESTS_STRESS_WATCHDOG_H_
#define QUORVEL_TESTS_STRESS_WATCHDOG_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

class Watchdog {
 public:
  // Watches up to kMaxCallers callers; `bound` is the longest call allowed.
  // `seed` is printed with the report, so that the run can be repeated.
  Watchdog(std::chrono::seconds bound, uint64_t seed);
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  ~Watchdog();

  static constexpr int kMaxCallers = 16;

  // RAII marker of one call by caller `slot` (0 <= slot < kMaxCallers).
  class Call {
   public:
    Call(Watchdog& dog, int slot, const char* what);
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call();

   private:
    Watchdog& dog_;
    int slot_;
  };

 private:
  void Watch();
  [[noreturn]] void Bark(int slot);

  const std::chrono::seconds bound_;
  const uint64_t seed_;
  std::atomic<int64_t> startedMs_[kMaxCallers] = {};  // 0: not in a call
  std::atomic<const char*> what_[kMaxCallers] = {};
  std::atomic<bool> done_{false};
  std::thread thread_;
};

#endif  // QUORVEL_TESTS_STRESS_WATCHDOG_H_
