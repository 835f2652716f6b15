// Arms one random fault of the simulated driver at a time, the way a driver
// misbehaves in the field: failed pings, receives, replies and binds, port
// answers out of range, hostile too-small sizes, short and inflated
// completions, receives cancelled under the workers.
#ifndef QUORVEL_TESTS_STRESS_FAULT_INJECTOR_H_
#define QUORVEL_TESTS_STRESS_FAULT_INJECTOR_H_

#include <random>

void InjectRandomFault(std::mt19937_64& random);

#endif  // QUORVEL_TESTS_STRESS_FAULT_INJECTOR_H_
