// The interface through which the lifecycle code drives every connection to
// the driver.
#ifndef QUORVEL_CONNECTION_CONNECTION_H_
#define QUORVEL_CONNECTION_CONNECTION_H_

#include <cstdint>

#include "platform/process_lock.h"
#include "platform/win32.h"
#include "quorvel/quorvel.h"

namespace qrv {

// Created, Started, Stopped, Closed and deleted, in this order; after a
// failed Create only Closed and deleted, after a failed Start only Stopped
// and Closed. Stop and Close may be repeated: closed handles are skipped.
// The owner deletes the concrete object.
class IUcConnection {
 public:
  // 1 on success, 0 on failure. After success the connection's threads exist
  // and wait for the start or stop signal.
  virtual int32_t Create(uint32_t serviceId, uint32_t threadCount, HANDLE device,
                         UcServiceCallback callback, void* context) QRV_REQUIRES(ProcessLock()) = 0;
  // Closes every handle still open; waits for nothing.
  virtual void Close() QRV_REQUIRES(ProcessLock()) = 0;
  // 1 when started (also when it already was), 0 on failure.
  virtual int32_t Start() QRV_REQUIRES(ProcessLock()) = 0;
  // Signals the threads, gives the port back and waits for the threads
  // still open; the wait's result (WAIT_OBJECT_0 when there is none).
  virtual uint32_t Stop() QRV_REQUIRES(ProcessLock()) = 0;

 protected:
  ~IUcConnection() = default;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_CONNECTION_H_
