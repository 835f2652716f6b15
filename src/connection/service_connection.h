// A registered service: a driver port and a team of worker threads that hand
// each message to the host's callback and send its answer back.
#ifndef QUORVEL_CONNECTION_SERVICE_CONNECTION_H_
#define QUORVEL_CONNECTION_SERVICE_CONNECTION_H_

#include <atomic>

#include "connection/block_heap.h"
#include "connection/connection.h"
#include "connection/protocol.h"

// Operations run under the process-wide lock (see IUcConnection). After
// Start the workers only read the connection's fields; the port is written
// before the start event is set and read only after a worker has seen it.
// The connection outlives its workers: Stop and a failed Create wait for
// them to end.
class CNUcCommuniateConnection final : public IUcConnection {
 public:
  static constexpr uint32_t kMaxThreads = 16;

  // The heap lends the workers their buffers and message blocks.
  explicit CNUcCommuniateConnection(BlockHeap& heap = BlockHeap::Process()) : heap_(heap) {}
  CNUcCommuniateConnection(const CNUcCommuniateConnection&) = delete;
  CNUcCommuniateConnection& operator=(const CNUcCommuniateConnection&) = delete;
  // Closes whatever Close has not; waits for nothing.
  ~CNUcCommuniateConnection() { Close(); }

  // Accepts at most 16 threads, a device other than INVALID_HANDLE_VALUE and
  // a callback. When a worker cannot be created, the ones already running
  // are signalled and awaited before Create returns 0.
  int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                 UcServiceCallback callback, void* context) override;
  void Close() override;
  // Obtains the service's port and releases the workers.
  int32_t Start() override;
  // Signals the workers, frees the port when one is held, and waits for
  // every worker; returns when each has finished its message in hand.
  uint32_t Stop() override;

  // True while the service is served: started, and at least one worker has
  // not left its message loop (a worker leaves on a stop, a lost connection,
  // a failed reply or an exception from the callback, and nothing restarts
  // it). A worker counts as gone from the moment it decides to leave, before
  // it logs its end, so a caller that has seen every "quit." sees false.
  bool IsRunning() const;

  uint32_t ServiceId() const { return serviceId_; }

  static DWORD WINAPI WorkerThreadProc(LPVOID connection);

 private:
  friend class Worker;
  enum { kStopEvent = 0, kStartEvent = 1 };

  bool CreateEvents();
  bool CreateWorkers();
  // Called once by each worker as it leaves, whatever the way out.
  void WorkerLeft() { serving_.fetch_sub(1, std::memory_order_release); }

  HANDLE device_ = INVALID_HANDLE_VALUE;
  uint32_t serviceId_ = 0;
  uint32_t threadCount_ = 0;
  uint32_t port_ = UC_MAX_PORTS;
  int32_t started_ = 0;
  // Element 0 the stop event, element 1 the start event, both manual-reset;
  // INVALID_HANDLE_VALUE until created, null once closed.
  HANDLE events_[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  UcServiceCallback callback_ = nullptr;
  void* context_ = nullptr;
  HANDLE threads_[kMaxThreads] = {};
  // Workers created and not yet left; written by the workers as they leave.
  std::atomic<uint32_t> serving_{0};
  BlockHeap& heap_;
};

#endif  // QUORVEL_CONNECTION_SERVICE_CONNECTION_H_
