// A host that returns from main without UnInit while 15 services serve
// traffic: the process must still exit cleanly. Exit code 0 when traffic
// flowed before main returned; anything the exit itself breaks shows up as
// a signal, an abort or a sanitizer report.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#define QUORVEL_HOST_LOADER
#include "framework/stand_in.h"
#include "quorvel/quorvel.h"
#include "sim/driver/sim_driver.h"

namespace {

using qrv::sim::SimDriver;

constexpr uint32_t kServices = 15;
constexpr int kPosters = 4;
constexpr uint64_t kAnsweredBeforeExit = 300;

void QUORVEL_STDCALL EchoBack(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                              void** answer, uint32_t* answerLength) {
  void* block = allocator->Allocate(length);
  if (block == nullptr) return;
  std::memcpy(block, message, length);
  *answer = block;
  *answerLength = length;
}

// Posts until the process ends, one message in flight at a time, so the
// traffic keeps flowing through the exit without piling up.
void Post(uint32_t first) {
  for (uint32_t n = first;; ++n) {
    std::vector<uint8_t> payload(n % 3 == 0 ? 3000 : 64, static_cast<uint8_t>(n));
    auto message =
        SimDriver::Instance().Post(n % kServices, n % 5 == 0 ? 0 : n, std::move(payload));
    message->WaitFinal(std::chrono::seconds(10));
  }
}

}  // namespace

int main() {
  SimDriver::Instance().Attach();
  std::string error;
  auto standIn = pxcom::StandIn::Load(pxcom::StandIn::Variant::kFull, &error);
  if (standIn == nullptr) {
    std::fprintf(stderr, "framework stand-in: %s\n", error.c_str());
    return 1;
  }
  standIn->StayLoaded();
  quorvel::HostLibrary library(QUORVEL_LIBRARY_PATH);
  if (!library.Loaded() || library.init(0) != QUORVEL_OK) {
    std::fprintf(stderr, "cannot load or Init %s\n", QUORVEL_LIBRARY_PATH);
    return 1;
  }
  for (uint32_t id = 0; id < kServices; ++id) {
    if (library.registerService(id, &EchoBack, nullptr) != QUORVEL_OK) {
      std::fprintf(stderr, "Register(%u) failed\n", id);
      return 1;
    }
  }
  for (int i = 0; i < kPosters; ++i) std::thread(Post, static_cast<uint32_t>(i) * 1000).detach();
  const bool flowing = SimDriver::Instance().WaitUntil(
      [](const qrv::sim::Counters& c) { return c.answered >= kAnsweredBeforeExit; },
      std::chrono::seconds(20));
  if (!flowing) std::fprintf(stderr, "traffic never flowed\n");
  // No UnInit: the library's threads are still serving as the process exits.
  return flowing ? 0 : 1;
}
