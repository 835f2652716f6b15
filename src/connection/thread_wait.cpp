#include "connection/thread_wait.h"

#include <cstdio>

#include "diagnostics/log_channel.h"

namespace qrv {

namespace {

// Room for MAXIMUM_WAIT_OBJECTS ids of up to ten digits and their separators.
constexpr size_t kIdListSize = 64 * 12 + 1;

// The ids of the threads that have not ended, "12, 16"; a thread that ends
// while the list is made is simply left out.
void ListRunningThreadIds(const HANDLE* threads, DWORD count, char (&list)[kIdListSize]) {
  size_t used = 0;
  list[0] = '\0';
  for (DWORD i = 0; i < count && used < sizeof list; ++i) {
    if (WaitForSingleObject(threads[i], 0) != WAIT_TIMEOUT) continue;
    const int written =
        std::snprintf(list + used, sizeof list - used, "%s%lu", used == 0 ? "" : ", ",
                      static_cast<unsigned long>(GetThreadId(threads[i])));
    if (written < 0) break;
    used += static_cast<size_t>(written);
  }
}

}  // namespace

DWORD WaitForConnectionThreads(const HANDLE* threads, DWORD count, uint32_t serviceId,
                               uint32_t port) {
  const DWORD first = WaitForMultipleObjects(count, threads, TRUE, kStuckThreadReportMs);
  if (first != WAIT_TIMEOUT) return first;
  char ids[kIdListSize];
  ListRunningThreadIds(threads, count, ids);
  if (ids[0] != '\0') {
    LogChannel::Instance().Print(
        "quorvel: still waiting for service[%d] port[%d] thread id[%s] after 5 s.",
        static_cast<int>(serviceId), static_cast<int>(port), ids);
  }
  return WaitForMultipleObjects(count, threads, TRUE, INFINITE);
}

}  // namespace qrv
