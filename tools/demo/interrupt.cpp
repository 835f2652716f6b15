#include "interrupt.h"

#include <signal.h>

#include <cstdlib>

namespace demo {
namespace {

sigset_t InterruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

Interrupt::Interrupt(Console& console) : console_(console) {
  // A shell without job control starts background programs with SIGINT
  // ignored, and an ignored signal never reaches sigwait: the demo asks for
  // the default disposition, which the blocked mask then holds back.
  signal(SIGINT, SIG_DFL);
  const sigset_t set = InterruptSet();
  pthread_sigmask(SIG_BLOCK, &set, &previousMask_);
  watcher_ = std::thread([this] { Watch(); });
}

Interrupt::~Interrupt() {
  closing_ = true;
  pthread_kill(watcher_.native_handle(), SIGINT);
  watcher_.join();
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool Interrupt::WaitFor(std::chrono::duration<double> duration) {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, duration, [this] { return requested_.load(); });
}

double Interrupt::SecondsUntilRequest() {
  std::lock_guard<std::mutex> lock(mu_);
  return secondsUntilRequest_;
}

void Interrupt::Watch() {
  const sigset_t set = InterruptSet();
  for (int signal = 0; sigwait(&set, &signal) == 0 && !closing_;) {
    if (requested_) {
      console_.Line("[demo] interrupted again: exiting at once, without UnInit");
      std::_Exit(kExitStatus);
    }
    console_.Line(
        "[demo] interrupted: stopping the traffic, then UnInit (Ctrl-C again exits at once)");
    {
      std::lock_guard<std::mutex> lock(mu_);
      secondsUntilRequest_ =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
      requested_ = true;
    }
    changed_.notify_all();
  }
}

}  // namespace demo
