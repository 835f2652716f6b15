// The reference driver's port model under random requests from several
// owners: the eight protocol codes with well-formed and malformed records,
// the control codes (post, outcome, counters, ports, log, faults, waits),
// two-step cancellation as the I/O system does it, and handles closing.
// Checked: a pended request is finished exactly once, and only a pended
// one; the message counters never overrun what was posted; after every
// owner closed and shutdown, nothing is pending, every message is final,
// and destroying the model gives back every block it took.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "port_model.h"
#include "qrvctl.h"
#include "uc_protocol.h"

namespace {

constexpr int kOwners = 3;

[[noreturn]] void Die(const char* what) {
  std::fprintf(stderr, "port model fuzzer: %s\n", what);
  std::abort();
}

size_t liveBlocks = 0;

void* Allocate(uint32_t size) {
  ++liveBlocks;
  return std::malloc(size == 0 ? 1 : size);
}

void Release(void* block) {
  --liveBlocks;
  std::free(block);
}

// A request and its buffers, owned by the harness while the model may hold it.
struct Call {
  QrvRequest request = {};
  std::vector<uint8_t> input;
  std::vector<uint8_t> output;
  bool cancelling = false;  // the I/O system has begun to cancel it
};

int Claim(QrvRequest* request) { return static_cast<Call*>(request->context)->cancelling ? 0 : 1; }

// A clock that advances with every reading, so that ping ages vary.
uint32_t NowMs() {
  static uint32_t now = 0;
  return now += 7;
}

const QrvModelOps kOps = {&Allocate, &Release, &Claim, &NowMs};

class Session {
 public:
  Session(const uint8_t* data, size_t size) : in_(data, size), model_(QrvModelCreate(&kOps)) {
    if (model_ == nullptr) Die("no model");
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Run() {
    while (in_.remaining_bytes() > 0) Step();
    for (int owner = 0; owner < kOwners; ++owner) CloseOwner(owner);
    QrvRequest* done = nullptr;
    QrvModelShutdown(model_, &done);
    Finish(done);
    while (!pending_.empty()) FinishCancel(pending_.begin()->first);
    CheckAllFinal();
    QrvModelDestroy(model_);
    if (liveBlocks != 0) Die("the model kept blocks after destroy");
  }

 private:
  void Step() {
    const int op = in_.ConsumeIntegralInRange(0, 15);
    if (op < 8) {
      static constexpr uint32_t kCodes[8] = {UC_CREATE_ECHO_PORT, UC_ECHO,      UC_CLOSE_ECHO_PORT,
                                             UC_ALLOCATE_PORT,    UC_FREE_PORT, UC_BIND_THREAD,
                                             UC_RECEIVE,          UC_REPLY};
      return Issue(kCodes[op], true, ProtocolInput(kCodes[op]));
    }
    switch (op) {
      case 8:
        return Issue(QRVCTL_IOCTL_POST, false, PostInput());
      case 9:
        return Issue(QRVCTL_IOCTL_OUTCOME, false,
                     Words({Id(), in_.ConsumeIntegralInRange(0u, 1u)}));
      case 10:
        return Issue(QRVCTL_CODE(0x803 + in_.ConsumeIntegralInRange(0, 3)), false,
                     Words({in_.ConsumeIntegralInRange(0u, 64u)}));
      case 11:
        return Issue(QRVCTL_IOCTL_SET_FAULT, false, FaultInput());
      case 12:
        return Issue(QRVCTL_IOCTL_WAIT_CHANGE, false,
                     Words({Counters().generation - in_.ConsumeBool()}));
      case 13:
        if (!pending_.empty()) Pick()->cancelling = true;
        return;
      case 14:
        if (!pending_.empty()) FinishCancel(&Pick()->request);
        return;
      default:
        return CloseOwner(in_.ConsumeIntegralInRange(0, kOwners - 1));
    }
  }

  static std::vector<uint8_t> Words(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> bytes(words.size() * 4);
    size_t at = 0;
    for (uint32_t word : words) std::memcpy(&bytes[at], &word, 4), at += 4;
    return bytes;
  }

  // Mostly small, valid-looking numbers; sometimes anything.
  uint32_t Small(uint32_t below) {
    return in_.ConsumeIntegralInRange(0, 15) == 0 ? in_.ConsumeIntegral<uint32_t>()
                                                  : in_.ConsumeIntegralInRange(0u, below);
  }
  uint32_t Id() { return Small(Counters().posted + 1); }

  std::vector<uint8_t> ProtocolInput(uint32_t code) {
    std::vector<uint8_t> bytes;
    switch (code) {
      case UC_CREATE_ECHO_PORT:
      case UC_ALLOCATE_PORT:
        bytes = Words({Small(1), Small(16), Small(4)});
        break;
      case UC_ECHO:
        bytes = Words({Small(16), in_.ConsumeBool() ? UC_ECHO_MAGIC : Small(9)});
        break;
      case UC_RECEIVE:
        bytes = Words({Small(16), Small(4), Small(1)});
        break;
      case UC_REPLY:
        bytes = Words({Small(16), Small(4)});
        break;
      default:
        bytes = Words({Small(16)});
        break;
    }
    if (in_.ConsumeIntegralInRange(0, 15) == 0) bytes.resize(in_.ConsumeIntegralInRange(0, 16));
    return bytes;
  }

  std::vector<uint8_t> PostInput() {
    const uint32_t length = in_.ConsumeIntegralInRange(0u, 3000u);
    std::vector<uint8_t> bytes =
        Words({Small(16), Small(3), in_.ConsumeBool() ? QRVCTL_ANY_SLOT : Small(4),
               in_.ConsumeIntegralInRange(0, 15) == 0 ? Small(70000) : length});
    bytes.resize(bytes.size() + length, static_cast<uint8_t>(length));
    return bytes;
  }

  std::vector<uint8_t> FaultInput() {
    return Words({Small(QRVCTL_FAULT_KIND_COUNT), Small(3), Small(3), Small(4000), Small(1)});
  }

  void Issue(uint32_t code, bool protocol, std::vector<uint8_t> input) {
    auto call = std::make_unique<Call>();
    call->input = std::move(input);
    // The sizes the records need, or any size up to a few log entries.
    static constexpr uint32_t kLengths[] = {0, 3, 4, 40, 84, 520, 1040};
    const uint32_t outputLength =
        in_.ConsumeBool() ? in_.PickValueInArray(kLengths) : in_.ConsumeIntegralInRange(0u, 4200u);
    call->output.resize(outputLength);
    QrvRequest& request = call->request;
    request.code = code;
    request.input = call->input.empty() ? nullptr : call->input.data();
    request.inputLength = static_cast<uint32_t>(call->input.size());
    request.output = outputLength == 0 && in_.ConsumeBool() ? nullptr : call->output.data();
    request.outputLength = outputLength;
    request.owner = &owners_[in_.ConsumeIntegralInRange(0, kOwners - 1)];
    request.context = call.get();
    QrvRequest* done = nullptr;
    const uint32_t status = protocol ? QrvModelDispatchProtocol(model_, &request, &done)
                                     : QrvModelDispatchControl(model_, &request, &done);
    if (status == QRV_STATUS_PENDING) pending_.emplace(&request, std::move(call));
    Finish(done);
    CheckCounters();
  }

  // Everything the model lists as done must be a request it holds pending.
  void Finish(QrvRequest* done) {
    while (done != nullptr) {
      QrvRequest* next = done->doneNext;
      if (done->status == QRV_STATUS_PENDING) Die("a request finished as pending");
      if (pending_.erase(done) != 1) Die("a request finished twice, or never pended");
      done = next;
    }
  }

  Call* Pick() {
    auto it = pending_.begin();
    std::advance(it, in_.ConsumeIntegralInRange<size_t>(0, pending_.size() - 1));
    return it->second.get();
  }

  // The I/O system's cancel routine: detach, then complete as cancelled.
  void FinishCancel(QrvRequest* request) {
    static_cast<Call*>(request->context)->cancelling = true;
    QrvRequest* done = nullptr;
    QrvModelForget(model_, request, &done);
    Finish(done);
    pending_.erase(request);
  }

  void CloseOwner(int owner) {
    QrvRequest* done = nullptr;
    QrvModelCloseOwner(model_, &owners_[owner], &done);
    Finish(done);
  }

  QrvCtlCounters Counters() {
    QrvCtlCounters counters = {};
    QrvRequest request = {};
    request.code = QRVCTL_IOCTL_COUNTERS;
    request.output = &counters;
    request.outputLength = sizeof(counters);
    QrvRequest* done = nullptr;
    QrvModelDispatchControl(model_, &request, &done);
    Finish(done);
    return counters;
  }

  void CheckCounters() {
    const QrvCtlCounters c = Counters();
    if (uint64_t{c.answered} + c.notWanted + c.failedBack > c.posted) Die("a message ended twice");
  }

  void CheckAllFinal() {
    const QrvCtlCounters c = Counters();
    if (uint64_t{c.answered} + c.notWanted + c.failedBack != c.posted) Die("a message never ended");
    if (!pending_.empty()) Die("a request outlived shutdown");
  }

  FuzzedDataProvider in_;
  QrvModel* model_;
  char owners_[kOwners] = {};
  std::map<QrvRequest*, std::unique_ptr<Call>> pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session(data, size).Run();
  return 0;
}
