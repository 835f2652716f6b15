// The demo host's sample services: what each callback answers, and what the
// sender expects back, computed independently of the callback.
#ifndef QUORVEL_TOOLS_DEMO_SAMPLE_SERVICES_H_
#define QUORVEL_TOOLS_DEMO_SAMPLE_SERVICES_H_

#include <cstdint>
#include <vector>

#include "quorvel/quorvel.h"

namespace demo {

struct SampleService {
  const char* name;
  UcServiceCallback callback;
  // The reply a correct callback gives for the payload.
  std::vector<uint8_t> (*expected)(const std::vector<uint8_t>& payload);
};

// Copy (the payload itself), transform (reversed, each byte xor 0x5A) and
// checksum (the payload's 64-bit FNV-1a hash, little-endian).
const std::vector<SampleService>& SampleServices();

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_SAMPLE_SERVICES_H_
