// The demo's terminal: every line the demo shows goes through one Console,
// which writes it whole with one write() under a lock, so that lines of
// different threads never split one another.
#ifndef QUORVEL_TOOLS_DEMO_CONSOLE_H_
#define QUORVEL_TOOLS_DEMO_CONSOLE_H_

#include <mutex>

namespace demo {

class Console {
 public:
  // Takes a duplicate of the current standard output, so that the terminal
  // stays reachable after fd 1 is redirected (see StdoutCapture).
  Console();
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Formats one line (the newline is added) and writes it whole. Thread-safe.
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::mutex mu_;
  int fd_;
};

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_CONSOLE_H_
