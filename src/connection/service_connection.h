// A registered service: a driver port and a team of worker threads that hand
// each message to the host's callback and send its answer back.
#ifndef QUORVEL_CONNECTION_SERVICE_CONNECTION_H_
#define QUORVEL_CONNECTION_SERVICE_CONNECTION_H_

#include <atomic>

#include "connection/port_connection.h"
#include "platform/block_heap.h"

namespace qrv {

// Outlives its workers: Stop and a failed Create wait for them to end.
class CNUcCommuniateConnection final : public PortConnection {
 public:
  // The heap lends the workers their buffers and message blocks.
  explicit CNUcCommuniateConnection(BlockHeap& heap = BlockHeap::Process())
      : PortConnection(IOCTL_UC_ALLOCATE_PORT, kServicePort), heap_(heap) {}

  // Accepts at most 16 threads, a device other than INVALID_HANDLE_VALUE and
  // a callback. On a failed worker the started ones are awaited first.
  int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                 UcServiceCallback callback, void* context) QRV_REQUIRES(ProcessLock()) override;

  // True while started and some worker has not left its message loop. A
  // worker counts as gone before it logs its "quit." line.
  bool IsRunning() const;

  static DWORD WINAPI WorkerThreadProc(LPVOID connection);

 private:
  friend class Worker;

  bool CreateWorkers();
  void LogEventFailure(int index, DWORD error) override;
  void LogPortRequest(const Result& result) QRV_REQUIRES(ProcessLock()) override;
  void LogPortReleased() QRV_REQUIRES(ProcessLock()) override;
  // Called once by each worker as it leaves, whatever the way out.
  void WorkerLeft() { serving_.fetch_sub(1, std::memory_order_release); }

  UcServiceCallback callback_ = nullptr;
  void* context_ = nullptr;
  // Workers created and not yet left.
  std::atomic<uint32_t> serving_{0};
  BlockHeap& heap_;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_SERVICE_CONNECTION_H_
