#include "host/host_service.h"

#include <atomic>
#include <cstring>

namespace qrv {
namespace wintest {
namespace {

// Every live HostService, so that a context can be recognised without
// reading through it: a context taken from the wrong stack slot may point
// anywhere.
constexpr int kMaxServices = 64;
std::atomic<HostService*> registry[kMaxServices];
std::atomic<int> misplaced{0};

std::string ThreadName() { return "thread " + std::to_string(GetCurrentThreadId()); }

}  // namespace

ServiceCall::ServiceCall(const CallbackFrame& frame, HostService& service)
    : frame_(frame), service_(service) {}

std::vector<uint8_t> ServiceCall::Payload() const {
  return std::vector<uint8_t>(message(), message() + length());
}

void* ServiceCall::Allocate(uint32_t size) {
  NIMUC::IAllocator* self = frame_.allocator;
  const void* slot0 = (*reinterpret_cast<void* const* const*>(self))[0];
  const uint32_t args[2] = {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(self)), size};
  int32_t left = 0;
  void* block =
      reinterpret_cast<void*>(static_cast<uintptr_t>(qrv_stdcall_probe(slot0, args, 2, &left)));
  if (left != 0) {
    service_.AddViolation("IAllocator::Allocate left " + std::to_string(left) +
                          " of its 8 argument bytes on the stack: it is not stdcall");
  }
  return block;
}

void ServiceCall::Answer(void* data, uint32_t length) {
  *frame_.answer = data;
  *frame_.answerLength = length;
}

void ServiceCall::EchoBack() {
  void* block = Allocate(length());
  if (block == nullptr) {
    service_.AddViolation("Allocate(" + std::to_string(length()) + ") returned null");
    return;
  }
  if (length() > 0) std::memcpy(block, message(), length());
  Answer(block, length());
}

HostService::HostService() : behaviour_([](ServiceCall& call) { call.EchoBack(); }) {
  for (auto& slot : registry) {
    HostService* empty = nullptr;
    if (slot.compare_exchange_strong(empty, this)) return;
  }
}

HostService::~HostService() {
  for (auto& slot : registry) {
    HostService* self = this;
    if (slot.compare_exchange_strong(self, nullptr)) return;
  }
}

HostService* HostService::Find(const void* context) {
  for (auto& slot : registry) {
    HostService* service = slot.load();
    if (service != nullptr && service == context) return service;
  }
  return nullptr;
}

void HostService::Serve(const CallbackFrame& frame, uintptr_t entryStack) {
  {
    Hold hold(lock_);
    ++calls_;
  }
  NoteEntryStack(entryStack);
  CheckFrame(frame);
  // No lock is held here: a behaviour may raise an exception that unwinds
  // past this frame without running its destructors.
  ServiceCall call(frame, *this);
  behaviour_(call);
}

void HostService::CheckFrame(const CallbackFrame& frame) {
  if (frame.allocator == nullptr || *reinterpret_cast<void**>(frame.allocator) == nullptr)
    AddViolation("no allocator with a table in the first argument");
  if (frame.message == nullptr && frame.length > 0) AddViolation("a null message with a length");
  if (frame.answer == nullptr || *frame.answer != nullptr)
    AddViolation("the answer pointer was not null on entry");
  if (frame.answerLength == nullptr || *frame.answerLength != 0)
    AddViolation("the answer length was not 0 on entry");
}

// Why the depth is checked: a library that called the callback as cdecl
// would, after the stub's `ret $24`, run on with its stack pointer 24 bytes
// above where its code expects it. The library is built without a frame
// pointer (the release build omits it on i686), so the next stack-relative
// access after the call, at the latest the epilogue of the function that
// made it, uses the wrong slots: the worker returns through a wrong address
// and the process faults (the crash report names the module), or, should it
// survive, enters its next callback at another depth, which is caught here.
// A correct library enters the callback from the same loop at the same
// depth for every message of one worker.
void HostService::NoteEntryStack(uintptr_t entryStack) {
  const DWORD thread = GetCurrentThreadId();
  uintptr_t first = 0;
  {
    Hold hold(lock_);
    for (const ThreadStack& seen : stacks_) {
      if (seen.threadId == thread) first = seen.entryStack;
    }
    if (first == 0) stacks_.push_back({thread, entryStack});
  }
  if (first != 0 && first != entryStack) {
    AddViolation(ThreadName() + " entered the callback with ESP " + std::to_string(entryStack) +
                 ", its first call with " + std::to_string(first));
  }
}

void HostService::AddViolation(const std::string& what) {
  Hold hold(lock_);
  violations_.push_back(what + " (" + ThreadName() + ")");
}

int HostService::calls() const {
  Hold hold(lock_);
  return calls_;
}

std::vector<std::string> HostService::Violations() const {
  Hold hold(lock_);
  return violations_;
}

size_t HostService::ThreadCount() const {
  Hold hold(lock_);
  return stacks_.size();
}

int MisplacedCallbacks() { return misplaced.load(); }

}  // namespace wintest
}  // namespace qrv

extern "C" void qrv_service_entry(const qrv::wintest::CallbackFrame* frame, uintptr_t entryStack) {
  qrv::wintest::HostService* service = qrv::wintest::HostService::Find(frame->context);
  if (service == nullptr) {
    qrv::wintest::misplaced.fetch_add(1);
    return;
  }
  service->Serve(*frame, entryStack);
}
