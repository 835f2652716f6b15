// One service as a Windows host offers it to QUORVEL.DLL: the context that
// is registered with the library, the behaviour each message meets, and what
// the callback saw of the library's calling convention.
#ifndef QRV_TESTS_WINDOWS_HOST_HOST_SERVICE_H_
#define QRV_TESTS_WINDOWS_HOST_HOST_SERVICE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/stdcall_probe.h"
#include "host/sync.h"

namespace qrv {
namespace wintest {

class HostService;

// One call of the service callback, as its behaviour sees it. Lives on the
// worker thread for the length of the call.
class ServiceCall {
 public:
  ServiceCall(const CallbackFrame& frame, HostService& service);
  ServiceCall(const ServiceCall&) = delete;
  ServiceCall& operator=(const ServiceCall&) = delete;

  const uint8_t* message() const { return static_cast<const uint8_t*>(frame_.message); }
  uint32_t length() const { return frame_.length; }
  std::vector<uint8_t> Payload() const;

  // IAllocator::Allocate, reached as a host built by another compiler
  // reaches it: through slot 0 of the object's table, as a stdcall function
  // of (self, size), under the stack probe. A callee that does not remove
  // exactly its 8 bytes of arguments is recorded as a violation.
  void* Allocate(uint32_t size);
  // Leaves `data` as the answer (it must stay valid until the reply).
  void Answer(void* data, uint32_t length);
  // Answers with a copy of the payload in an allocator block.
  void EchoBack();

 private:
  const CallbackFrame& frame_;
  HostService& service_;
};

// The context registered for one service id. Construct it before Register
// and destroy it only after the library has stopped the service (UnInit or
// Unregister): workers call it until then. Thread-safe.
class HostService {
 public:
  using Behaviour = std::function<void(ServiceCall&)>;

  // A service whose callback answers each message with a copy of it.
  HostService();
  ~HostService();
  HostService(const HostService&) = delete;
  HostService& operator=(const HostService&) = delete;

  // REQUIRES: no callback of this service is running or can start (before
  // Register, or after the service was stopped).
  void SetBehaviour(Behaviour behaviour) { behaviour_ = std::move(behaviour); }

  // The registered service whose context this is, or null.
  static HostService* Find(const void* context);

  // Called from qrv_service_entry on a worker thread.
  void Serve(const CallbackFrame& frame, uintptr_t entryStack);

  // Records a breach of the calling contract seen on a worker thread.
  void AddViolation(const std::string& what);

  int calls() const;
  // Breaches of the callback contract: arguments not where stdcall puts
  // them, an answer not reset before the call, an unbalanced Allocate, or a
  // worker entering the callback at a different stack depth than before.
  std::vector<std::string> Violations() const;
  // Distinct worker threads that called the callback.
  size_t ThreadCount() const;

 private:
  struct ThreadStack {
    DWORD threadId;
    uintptr_t entryStack;
  };

  void CheckFrame(const CallbackFrame& frame);
  void NoteEntryStack(uintptr_t entryStack);

  Behaviour behaviour_;
  mutable Lock lock_;
  int calls_ = 0;
  std::vector<std::string> violations_;
  std::vector<ThreadStack> stacks_;
};

// Callbacks whose context was not any registered HostService: the context
// argument was not where stdcall puts it.
int MisplacedCallbacks();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_HOST_SERVICE_H_
