// Requests to the driver that the sender can walk away from when the driver
// will not let one go.
#ifndef QUORVEL_CONNECTION_DEVICE_REQUEST_H_
#define QUORVEL_CONNECTION_DEVICE_REQUEST_H_

#include <atomic>

#include "connection/allocator.h"
#include "platform/block_heap.h"
#include "platform/process_lock.h"
#include "platform/result.h"

namespace qrv {

// One request at a time, used by one thread, through a reused heap record
// holding the OVERLAPPED, the event, the input and an output of up to 4
// bytes (copied back only when the driver writes it). A request is
// cancelled once it completes neither before `giveUp` (null: none) is set
// nor within `boundMs`, and abandoned when the cancel is not honoured
// within kCancelBoundMs: the record then stays the driver's until its
// completion, and ReclaimAbandoned frees it.
class DeviceRequest {
 public:
  static constexpr DWORD kCancelBoundMs = 1000;
  // The bound of an entry point's request: one heartbeat period.
  static constexpr DWORD kEntryBoundMs = 1000;
  static constexpr DWORD kMaxInput = 16;  // every input record fits

  // The heap of the blocks handed to Keeper().
  explicit DeviceRequest(BlockHeap& heap = BlockHeap::Process()) : heap_(heap) {}
  DeviceRequest(const DeviceRequest&) = delete;
  DeviceRequest& operator=(const DeviceRequest&) = delete;
  // Frees the record, or hands an abandoned one over for reclaiming.
  ~DeviceRequest();

  // Creates the record now (Send does otherwise); the error of its event.
  Result Open();

  // Returns once the driver is done with every buffer or the request is
  // abandoned. Fails with the driver's error, ERROR_OPERATION_ABORTED when
  // cancelled or abandoned, ERROR_INVALID_PARAMETER for a code not in
  // kControlCodes or an input over kMaxInput, or the record's error.
  Result Send(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
              DWORD outputSize, HANDLE giveUp, DWORD boundMs);

  // Of the last Send: the byte count; whether it pended; whether `giveUp`
  // ended its wait.
  DWORD BytesReturned() const { return bytes_; }
  bool Pended() const { return pended_; }
  bool GivenUp() const { return givenUp_; }
  // Once a request was abandoned, the keeper of the blocks its buffers may
  // lie in, freed with the record; null before.
  CNimUCAllocator* Keeper();

  // How many requests have been cancelled in the process so far.
  static uint32_t Cancellations() { return cancellations_.load(std::memory_order_acquire); }

  // Frees every abandoned record whose completion has arrived and whose
  // owner has let go, first giving back through `device` a port granted
  // late (none when `device` is INVALID_HANDLE_VALUE: it is closing).
  static void ReclaimAbandoned(HANDLE device) QRV_REQUIRES(ProcessLock());

 private:
  struct Record;

  Result Issue(HANDLE device, void* output, DWORD outputSize, HANDLE giveUp, DWORD boundMs);
  Result Await(HANDLE device, HANDLE giveUp, DWORD boundMs);
  void Abandon();
  void LetGo();
  static void Push(Record* record);
  static bool Settle(HANDLE device, Record& record) QRV_REQUIRES(ProcessLock());
  static void GiveBack(HANDLE device, Record& record) QRV_REQUIRES(ProcessLock());

  // Pushed by any thread, taken apart only under the process-wide lock.
  static std::atomic<Record*> abandoned_;
  static std::atomic<uint32_t> cancellations_;

  BlockHeap& heap_;
  Record* record_ = nullptr;
  Record* left_ = nullptr;  // abandoned, not yet let go
  DWORD bytes_ = 0;
  bool pended_ = false;
  bool givenUp_ = false;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_DEVICE_REQUEST_H_
