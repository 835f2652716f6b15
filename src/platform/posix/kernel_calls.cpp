#include "platform/posix/kernel_calls.h"

#include <atomic>

#include "platform/posix/device.h"

namespace qrv {
namespace posix {
namespace {

std::atomic<KernelCallObserver> g_observer{nullptr};
thread_local unsigned t_depth = 0;

}  // namespace

KernelCall::KernelCall(const char* function) {
  if (t_depth++ != 0 || function == nullptr) return;
  if (KernelCallObserver observer = g_observer.load(std::memory_order_acquire)) observer(function);
}

KernelCall::~KernelCall() { --t_depth; }

void SetKernelCallObserver(KernelCallObserver observer) {
  g_observer.store(observer, std::memory_order_release);
}

}  // namespace posix
}  // namespace qrv
