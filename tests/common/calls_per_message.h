// How the kernel-transition tests read a log of calls, natively (the POSIX
// stand-in's observer) and under Wine (the module's patched import slots).
#ifndef QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_
#define QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace qrv {
namespace testing_common {

// The calls logged between each "callback" and the next, on the thread of
// the first callback: what one message costs the worker that served it.
template <typename ThreadId>
std::vector<std::vector<std::string>> CallsPerMessage(
    const std::vector<std::pair<ThreadId, std::string>>& calls) {
  std::vector<std::vector<std::string>> windows;
  ThreadId worker{};
  for (const auto& [thread, name] : calls) {
    if (name == "callback" && windows.empty()) worker = thread;
    if (thread != worker) continue;
    if (name == "callback") {
      windows.emplace_back();
    } else if (!windows.empty()) {
      windows.back().push_back(name);
    }
  }
  return windows;
}

inline std::string Join(const std::vector<std::string>& names) {
  std::string joined;
  for (const auto& name : names) joined += name + " ";
  return joined;
}

// Expects the messages the two tests arrange, in this order after the first
// one served (which pays for the worker's start), to cost at most `budget`
// calls each: one whose receive completed at once, then two that found the
// receive pending. Prints each count for the log.
inline void ExpectEachPathWithinBudget(const std::vector<std::vector<std::string>>& windows,
                                       size_t budget) {
  ASSERT_GE(windows.size(), 3u);
  const struct {
    const char* path;
    size_t window;
  } cases[] = {{"completed at once", 0}, {"pending", 1}, {"pending", 2}};
  for (const auto& c : cases) {
    const std::string calls = Join(windows[c.window]);
    EXPECT_LE(windows[c.window].size(), budget)
        << c.path << " path, message " << c.window + 2 << ": " << calls;
    std::printf("kernel calls per message, %s path: %u (%s)\n", c.path,
                static_cast<unsigned>(windows[c.window].size()), calls.c_str());
  }
}

}  // namespace testing_common
}  // namespace qrv

#endif  // QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_
