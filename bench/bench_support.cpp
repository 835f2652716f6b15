#include "bench_support.h"

#include <chrono>
#include <cstring>

#include "api/exports.h"
#include "sim/driver/sim_driver.h"

namespace {

void WINAPI EchoBack(NIMUC::IAllocator* allocator, void* message, uint32_t length, void*,
                     void** answer, uint32_t* answerLength) {
  void* block = allocator->Allocate(length);
  if (block == nullptr) return;
  std::memcpy(block, message, length);
  *answer = block;
  *answerLength = length;
}

}  // namespace

bool StartEchoServices(uint32_t count) {
  auto& driver = qrv::sim::SimDriver::Instance();
  driver.Attach();
  if (Init(0) != S_OK) return false;
  for (uint32_t id = 0; id < count; ++id) {
    if (Register(id, &EchoBack, nullptr) != S_OK) return false;
    if (!driver.WaitForPendingReceives(id, 3, std::chrono::seconds(10))) return false;
  }
  return true;
}

void StopServices() {
  UnInit();
  qrv::sim::SimDriver::Instance().ClearRequestLog();
}
