// One worker thread of a service connection.
#ifndef QUORVEL_CONNECTION_WORKER_H_
#define QUORVEL_CONNECTION_WORKER_H_

#include <cstdint>

#include "connection/allocator.h"
#include "connection/device_request.h"
#include "connection/protocol.h"
#include "connection/service_connection.h"
#include "platform/result.h"

namespace qrv {

// Binds to the service's port, then serves one message at a time: receive,
// callback, reply when the header asks for one, release what was lent. Lives
// on its own thread and only reads the connection.
class Worker {
 public:
  // The largest message, Header included, a too-small report may ask for.
  static constexpr uint32_t kMaxMessageSize = 16u << 20;

  explicit Worker(CNUcCommuniateConnection& connection);
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;
  ~Worker();

  // The thread's whole life; returns its exit code: 1 stopped before start,
  // 2 no event for its requests, 3 bind failed, 4 no buffer, otherwise the
  // last error read after the quit line.
  DWORD Run();

 private:
  DWORD StartUp();
  Result Bind();
  void ServeMessages();
  bool ReceiveMessage();
  Result ReceiveInto(uint8_t* buffer, DWORD size);
  uint8_t* ObtainBlock(uint32_t size);
  bool HandleMessage();
  static void InvokeCallback(void* worker);
  Result SendReply();
  // Every request of the worker; the give-up event cuts its wait.
  Result Send(DWORD code, const void* input, DWORD inputSize, void* output, DWORD outputSize);
  DWORD ExitPath();
  void Log(const char* format) const;

  CNUcCommuniateConnection& connection_;
  CNimUCAllocator allocator_;
  DeviceRequest request_;
  uint32_t threadIndex_ = 0xFFFFFFFFu;
  ReceiveRequest receive_ = {};
  ReplyHeader reply_ = {};
  uint8_t* buffer_ = nullptr;   // the 1024-byte buffer, reused for every message
  uint8_t* message_ = nullptr;  // where the message in hand lies
  DWORD capacity_ = 0;          // size of the buffer message_ points to
  void* answer_ = nullptr;
  uint32_t answerLength_ = 0;
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_WORKER_H_
