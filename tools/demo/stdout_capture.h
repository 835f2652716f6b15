// Captures the process's standard output, which the library writes its
// "DeviceIoControl : %d." diagnostics to: fd 1 becomes a pipe that a thread
// reads, counting each distinct line, and with `forward` also showing it on
// the Console. The demo's own lines go to the Console, never to stdout.
#ifndef QUORVEL_TOOLS_DEMO_STDOUT_CAPTURE_H_
#define QUORVEL_TOOLS_DEMO_STDOUT_CAPTURE_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "console.h"

namespace demo {

class StdoutCapture {
 public:
  // Falls back to leaving stdout alone when no pipe can be made.
  StdoutCapture(Console& console, bool forward);
  // Finish()es.
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  // Flushes stdout, restores fd 1 and waits until every captured line is
  // counted. REQUIRES: no other thread writes to stdout any more (the
  // library's workers have stopped). Idempotent.
  void Finish();

  uint64_t lines() const { return lines_.load(); }
  // Each distinct line with how often it came, in order of first arrival.
  std::vector<std::pair<std::string, uint64_t>> Counts() const;

 private:
  void Read(int fd);
  void Count(const std::string& line);

  Console& console_;
  const bool forward_;
  int savedStdout_ = -1;
  std::thread reader_;
  std::atomic<uint64_t> lines_{0};
  mutable std::mutex mu_;
  std::vector<std::pair<std::string, uint64_t>> counts_;
};

}  // namespace demo

#endif  // QUORVEL_TOOLS_DEMO_STDOUT_CAPTURE_H_
