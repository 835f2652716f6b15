#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace demo {

Console::Console() : fd_(dup(STDOUT_FILENO)) {}

Console::~Console() {
  if (fd_ >= 0) close(fd_);
}

void Console::Line(const char* format, ...) {
  char small[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (length < 0) return;
  std::string line(small, std::min<size_t>(static_cast<size_t>(length), sizeof small - 1));
  if (static_cast<size_t>(length) >= sizeof small) {
    line.resize(static_cast<size_t>(length));
    va_start(args, format);
    std::vsnprintf(&line[0], line.size() + 1, format, args);
    va_end(args);
  }
  line += '\n';
  // A terminal or pipe may take a line in parts; the lock keeps the parts
  // of one line together.
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t done = 0; done < line.size();) {
    const ssize_t written =
        write(fd_ < 0 ? STDOUT_FILENO : fd_, line.data() + done, line.size() - done);
    if (written <= 0) return;
    done += static_cast<size_t>(written);
  }
}

}  // namespace demo
