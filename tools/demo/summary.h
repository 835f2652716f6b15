// The closing report of a traffic run.
#ifndef QUORVEL_TOOLS_DEMO_SUMMARY_H_
#define QUORVEL_TOOLS_DEMO_SUMMARY_H_

#include "traffic.h"

namespace demo {

void PrintSummary(const TrafficCounters& counters, TrafficResult result);

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_SUMMARY_H_
