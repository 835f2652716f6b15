// The in-process glue of the driver's port model (sim/kernel): what the
// kernel glue does with a spin lock and IRPs, done here with a mutex and the
// POSIX seam's IoRequests. The model itself holds every port, message,
// fault, counter and the request log; this class only serialises calls into
// it, supplies its memory, and completes the requests it hands back.
//
// Thread safety: every method may be called from any thread. The model's
// lock is never held while a request is completed, so a woken caller may
// come straight back in.
#ifndef QUORVEL_SIM_DRIVER_MODEL_GLUE_H_
#define QUORVEL_SIM_DRIVER_MODEL_GLUE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/posix/device.h"
#include "port_model.h"

namespace qrv {
namespace sim {

class ModelGlue {
 public:
  // Aborts when the model cannot get its memory: nothing could run without.
  ModelGlue();
  ModelGlue(const ModelGlue&) = delete;
  ModelGlue& operator=(const ModelGlue&) = delete;

  // One request of the protocol device. Returns its status with *bytes set,
  // or kStatusPending when the model keeps it for a later completion. A
  // request the model holds back for a delay is run after it by a thread of
  // its own.
  posix::NTSTATUS Dispatch(posix::IoRequest* request, DWORD* bytes);
  // The open handle `file` closed: its ports are freed, its requests ended.
  void HandleClosed(const void* file);
  // CancelIoEx: a request the model still holds pending is detached and
  // completed as cancelled; one it has finished already is left alone.
  void Cancel(posix::IoRequest* request);

  // One request of the control codes (qrvctl.h) with the given buffers;
  // returns its status and sets *bytes when given. Wakes every waiter.
  uint32_t Control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                   uint32_t* bytes = nullptr);

  // Blocks until `ready` holds (true) or the timeout passes (false). `ready`
  // runs with the model's lock held, after every change, and may only call
  // Read.
  bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);
  // The same, re-evaluated only when a message has reached its final
  // outcome, so that a poster awaiting its messages is not woken by every
  // request.
  bool WaitUntilSettled(const std::function<bool()>& ready, std::chrono::milliseconds timeout);
  // Runs `body` with the model's lock held; it may only call Read.
  void Locked(const std::function<void()>& body);
  // A control request that changes nothing (COUNTERS, PORTS, READ_LOG, or
  // OUTCOME without release). REQUIRES: called inside Locked or a WaitUntil
  // predicate.
  uint32_t Read(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength);
  // Cuts every delay short: each request held back so far runs now, as when
  // its delay passes.
  void EndDelays();

 private:
  // Completes what the model handed back. REQUIRES: mu_ is not held.
  static void CompleteDone(QrvRequest* done);
  // Runs the request held back under `ticket` once `delayMs` has passed or
  // EndDelays is called after `heldAt` (the count of its calls so far).
  void RunLater(uint32_t ticket, uint32_t delayMs, uint64_t heldAt);
  void Changed(QrvRequest* done, std::unique_lock<std::mutex>* lock);

  std::mutex mu_;
  std::condition_variable changed_;  // notified after every call into the model
  std::condition_variable settled_;  // notified when a message became final
  QrvModel* const model_;            // GUARDED_BY(mu_); never freed
  uint64_t finals_ = 0;              // GUARDED_BY(mu_): final messages seen
  // The records of the requests the model holds pending, by request, so a
  // cancel can name one; a record leaves when the model hands it back.
  std::unordered_map<const posix::IoRequest*, QrvRequest*> pending_;  // GUARDED_BY(mu_)

  std::condition_variable delaysEnded_;  // notified by EndDelays
  uint64_t delayEnds_ = 0;               // GUARDED_BY(mu_): EndDelays calls so far
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_MODEL_GLUE_H_
