#include "watchdog.h"

#include <dirent.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Runs on each thread the watchdog signals: writes that thread's stack.
void DumpStack(int) {
  void* frames[64];
  const int count = backtrace(frames, 64);
  char line[64];
  const int n = std::snprintf(line, sizeof(line), "--- thread %ld\n", syscall(SYS_gettid));
  if (write(STDERR_FILENO, line, static_cast<size_t>(n)) < 0) return;
  backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

// Signals every thread of the process in turn; each writes its own stack.
void DumpAllStacks() {
  signal(SIGUSR2, &DumpStack);
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return;
  while (dirent* entry = readdir(tasks)) {
    const long tid = std::atol(entry->d_name);
    if (tid <= 0) continue;
    syscall(SYS_tgkill, getpid(), tid, SIGUSR2);
    // Lets one dump finish before the next begins, so that they do not mix.
    usleep(100 * 1000);
  }
  closedir(tasks);
}

}  // namespace

Watchdog::Watchdog(std::chrono::seconds bound, uint64_t seed)
    : bound_(bound), seed_(seed), thread_([this] { Watch(); }) {
  void* warm[1];
  backtrace(warm, 1);  // loads the unwinder now, not inside a signal handler
}

Watchdog::~Watchdog() {
  done_ = true;
  thread_.join();
}

Watchdog::Call::Call(Watchdog& dog, int slot, const char* what) : dog_(dog), slot_(slot) {
  dog_.what_[slot_] = what;
  dog_.startedMs_[slot_] = NowMs();
}

Watchdog::Call::~Call() { dog_.startedMs_[slot_] = 0; }

void Watchdog::Watch() {
  const int64_t boundMs = bound_.count() * 1000;
  while (!done_) {
    for (int slot = 0; slot < kMaxCallers; ++slot) {
      const int64_t started = startedMs_[slot];
      if (started != 0 && NowMs() - started > boundMs) Bark(slot);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void Watchdog::Bark(int slot) {
  std::fprintf(stderr, "HANG: caller %d stuck in %s for over %lld s (seed %llu); stacks:\n", slot,
               what_[slot].load(), static_cast<long long>(bound_.count()),
               static_cast<unsigned long long>(seed_));
  DumpAllStacks();
  std::abort();
}
