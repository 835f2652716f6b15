// What the demo shows of the log sink's lines: all of them with `verbose`,
// otherwise the first line of each shape (the text with its numbers
// masked), so that three services stopping show one "thread[n] quit."
// instead of nine. The rest are counted.
#ifndef QUORVEL_TOOLS_DEMO_SINK_VIEW_H_
#define QUORVEL_TOOLS_DEMO_SINK_VIEW_H_

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "console.h"

namespace demo {

class SinkView {
 public:
  SinkView(Console& console, bool verbose) : console_(console), verbose_(verbose) {}
  SinkView(const SinkView&) = delete;
  SinkView& operator=(const SinkView&) = delete;

  // The stand-in's line callback; `context` is the SinkView. Thread-safe.
  static void OnLine(void* context, const char* text);

  uint64_t lines() const;
  uint64_t folded() const;

 private:
  void Show(const char* text);

  Console& console_;
  const bool verbose_;
  mutable std::mutex mu_;
  std::set<std::string> shapes_;
  uint64_t lines_ = 0;
  uint64_t folded_ = 0;
};

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_SINK_VIEW_H_
