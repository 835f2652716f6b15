// The library initialised against the simulated driver, with echo services.
#ifndef QUORVEL_BENCH_BENCH_SUPPORT_H_
#define QUORVEL_BENCH_BENCH_SUPPORT_H_

#include <cstdint>

// Init, then Register services 0 .. count-1 with an echo callback, and waits
// until every worker has a receive pending. Returns false on any failure.
bool StartEchoServices(uint32_t count);
// UnInit.
void StopServices();

#endif  // QUORVEL_BENCH_BENCH_SUPPORT_H_
