#include "sink_view.h"

#include <cctype>

namespace demo {
namespace {

// The text with every run of digits replaced by one '#'.
std::string ShapeOf(const char* text) {
  std::string shape;
  for (const char* c = text; *c != '\0'; ++c) {
    if (!std::isdigit(static_cast<unsigned char>(*c))) {
      shape += *c;
    } else if (shape.empty() || shape.back() != '#') {
      shape += '#';
    }
  }
  return shape;
}

}  // namespace

void SinkView::OnLine(void* context, const char* text) {
  static_cast<SinkView*>(context)->Show(text);
}

// The line is written while the lock is held, so that a folded line never
// appears before the first line of its shape.
void SinkView::Show(const char* text) {
  std::lock_guard<std::mutex> lock(mu_);
  lines_++;
  if (!verbose_ && !shapes_.insert(ShapeOf(text)).second) {
    folded_++;
    return;
  }
  console_.Line("  log | %s", text);
}

uint64_t SinkView::lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

uint64_t SinkView::folded() const {
  std::lock_guard<std::mutex> lock(mu_);
  return folded_;
}

}  // namespace demo
