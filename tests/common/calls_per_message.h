// How the kernel-transition tests read a log of calls, natively (the POSIX
// stand-in's observer) and under Wine (the module's patched import slots).
#ifndef QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_
#define QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_

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

}  // namespace testing_common
}  // namespace qrv

#endif  // QRV_TESTS_COMMON_CALLS_PER_MESSAGE_H_
