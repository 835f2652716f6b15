// The log of every request the simulated driver saw, with per-code totals.
// Not thread-safe: the driver guards it with its lock.
#ifndef QUORVEL_SIM_DRIVER_REQUEST_LOG_H_
#define QUORVEL_SIM_DRIVER_REQUEST_LOG_H_

#include <map>
#include <vector>

#include "sim/driver/sim_driver.h"

namespace qrv {
namespace sim {

class RequestLog {
 public:
  RequestLog() = default;
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  // Records a new request, decoding the port, thread index and flag of the
  // codes that carry them; returns its sequence number.
  uint64_t Begin(const posix::IoRequest& request, std::vector<uint8_t> input);
  void MarkPended(uint64_t sequence);
  // Records the final status; a request cleared from the log is only counted.
  void Finish(uint64_t sequence, NTSTATUS status, DWORD bytes);

  size_t Total(DWORD code) const;
  const std::vector<RequestRecord>& records() const { return records_; }
  void Clear();

 private:
  RequestRecord* Find(uint64_t sequence);

  std::vector<RequestRecord> records_;
  uint64_t firstSequence_ = 1;  // sequence of records_[0]
  uint64_t nextSequence_ = 1;
  std::map<DWORD, size_t> totals_;
};

}  // namespace sim
}  // namespace qrv

#endif  // QUORVEL_SIM_DRIVER_REQUEST_LOG_H_
