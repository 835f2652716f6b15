#include "sample_services.h"

#include <cstring>

namespace demo {
namespace {

std::vector<uint8_t> Copied(const std::vector<uint8_t>& payload) { return payload; }

std::vector<uint8_t> Transformed(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out(payload.rbegin(), payload.rend());
  for (uint8_t& byte : out) byte ^= 0x5A;
  return out;
}

uint64_t Fnv1a(const uint8_t* data, uint32_t length) {
  uint64_t hash = 1469598103934665603ull;
  for (uint32_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

std::vector<uint8_t> Checksummed(const std::vector<uint8_t>& payload) {
  const uint64_t hash = Fnv1a(payload.data(), static_cast<uint32_t>(payload.size()));
  std::vector<uint8_t> out(8);
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(hash >> (8 * i));
  return out;
}

// Every answer is built in allocator blocks; the worker releases them.
void QUORVEL_STDCALL CopyCallback(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                  void*, void** answer, uint32_t* answerLength) {
  void* block = allocator->Allocate(length);
  if (block == nullptr) return;
  std::memcpy(block, message, length);
  *answer = block;
  *answerLength = length;
}

void QUORVEL_STDCALL TransformCallback(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                       void*, void** answer, uint32_t* answerLength) {
  auto* out = static_cast<uint8_t*>(allocator->Allocate(length));
  if (out == nullptr) return;
  const auto* in = static_cast<const uint8_t*>(message);
  for (uint32_t i = 0; i < length; ++i) out[i] = in[length - 1 - i] ^ 0x5A;
  *answer = out;
  *answerLength = length;
}

// Hashes the payload in 4 KiB scratch blocks, as a callback that needs
// working memory would, and answers from a separate block.
void QUORVEL_STDCALL ChecksumCallback(NIMUC::IAllocator* allocator, void* message, uint32_t length,
                                      void*, void** answer, uint32_t* answerLength) {
  uint64_t hash = 1469598103934665603ull;
  const auto* in = static_cast<const uint8_t*>(message);
  for (uint32_t done = 0; done < length;) {
    const uint32_t chunk = length - done < 4096 ? length - done : 4096;
    auto* scratch = static_cast<uint8_t*>(allocator->Allocate(chunk));
    if (scratch == nullptr) return;
    std::memcpy(scratch, in + done, chunk);
    for (uint32_t i = 0; i < chunk; ++i) hash = (hash ^ scratch[i]) * 1099511628211ull;
    done += chunk;
  }
  auto* out = static_cast<uint8_t*>(allocator->Allocate(8));
  if (out == nullptr) return;
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(hash >> (8 * i));
  *answer = out;
  *answerLength = 8;
}

}  // namespace

const std::vector<SampleService>& SampleServices() {
  static const std::vector<SampleService> services = {
      {"copy", &CopyCallback, &Copied},
      {"transform", &TransformCallback, &Transformed},
      {"checksum", &ChecksumCallback, &Checksummed},
  };
  return services;
}

}  // namespace demo
