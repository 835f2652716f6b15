#include "platform/posix/kernel_calls.h"

#include <atomic>

#include "platform/posix/device.h"

namespace qrv {
namespace posix {
namespace {

std::atomic<KernelCallObserver> g_observer{nullptr};

}  // namespace

void NoteKernelCall(const char* function) {
  if (KernelCallObserver observer = g_observer.load(std::memory_order_acquire)) observer(function);
}

void SetKernelCallObserver(KernelCallObserver observer) {
  g_observer.store(observer, std::memory_order_release);
}

}  // namespace posix
}  // namespace qrv
