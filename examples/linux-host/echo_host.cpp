// A minimal Linux host: the native library against the test kit's simulated
// driver, in one process. It serves service 0 by echoing every message back,
// posts one message as the driver would, checks the reply and stops. The
// framework stand-in, linked in, takes the library's log and shows it on
// standard error.
#include <quorvel/quorvel.h>
#include <quorvel/testkit/px_control.h>
#include <quorvel/testkit/sim/driver/sim_driver.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kEchoService = 0;

// Runs on a worker thread of the library; must not throw (see quorvel.h).
void QUORVEL_STDCALL Echo(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                          void* /*context*/, void** answer, uint32_t* answerLength) {
  if (length == 0) return;  // an empty reply
  void* copy = allocator->Allocate(length);
  if (copy == nullptr) return;
  std::memcpy(copy, message, length);
  *answer = copy;
  *answerLength = length;
}

// Posts one message with a non-zero header (a reply is wanted) and checks
// that the reply echoes it.
bool ServeOne() {
  const std::string text = "hello from the simulated driver";
  auto message = qrv::sim::SimDriver::Instance().Post(
      kEchoService, 1, std::vector<uint8_t>(text.begin(), text.end()));
  if (!message->WaitFinal(std::chrono::seconds(10))) {
    std::fprintf(stderr, "no reply within 10 s\n");
    return false;
  }
  const std::vector<uint8_t> reply = message->reply();
  std::printf("echo host (Linux): reply \"%.*s\"\n", static_cast<int>(reply.size()),
              reinterpret_cast<const char*>(reply.data()));
  return message->outcome() == qrv::sim::Outcome::kAnswered &&
         std::string(reply.begin(), reply.end()) == text;
}

}  // namespace

int main() {
  PxControl_SetEcho(1);  // every line of the library's log on stderr
  // The simulated driver answers on \\.\QRVDev in this process.
  qrv::sim::SimDriver::Instance().Attach();
  if (Init(0) != QUORVEL_OK) {
    std::fprintf(stderr, "Init failed\n");
    return 1;
  }
  bool ok = Register(kEchoService, &Echo, nullptr) == QUORVEL_OK && ServeOne();
  UnInit();
  std::printf("echo host (Linux): %s\n", ok ? "served" : "FAILED");
  return ok ? 0 : 1;
}
