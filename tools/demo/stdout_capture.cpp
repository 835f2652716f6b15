#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>

namespace demo {

StdoutCapture::StdoutCapture(Console& console, bool forward)
    : console_(console), forward_(forward) {
  int fds[2];
  if (pipe(fds) != 0) return;
  std::fflush(stdout);
  savedStdout_ = dup(STDOUT_FILENO);
  if (savedStdout_ < 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  // Only fd 1 keeps the write end open, so restoring fd 1 ends the reader.
  close(fds[1]);
  // Through a pipe stdio would buffer whole blocks; lines keep the status
  // line's count current.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  reader_ = std::thread([this, fd = fds[0]] { Read(fd); });
}

StdoutCapture::~StdoutCapture() { Finish(); }

void StdoutCapture::Finish() {
  if (savedStdout_ < 0) return;
  std::fflush(stdout);
  dup2(savedStdout_, STDOUT_FILENO);
  close(savedStdout_);
  savedStdout_ = -1;
  if (reader_.joinable()) reader_.join();
}

std::vector<std::pair<std::string, uint64_t>> StdoutCapture::Counts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counts_;
}

void StdoutCapture::Read(int fd) {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    pending.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      Count(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
  }
  if (!pending.empty()) Count(pending);
  close(fd);
}

void StdoutCapture::Count(const std::string& line) {
  lines_++;
  if (forward_) console_.Line("  lib | %s", line.c_str());
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& entry : counts_) {
    if (entry.first == line) {
      entry.second++;
      return;
    }
  }
  counts_.emplace_back(line, 1);
}

}  // namespace demo
