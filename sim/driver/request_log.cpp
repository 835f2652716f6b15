#include "sim/driver/request_log.h"

#include <utility>

#include "sim/driver/wire_access.h"
#include "sim/driver/wire_tables.h"

namespace qrv {
namespace sim {

// Decodes the fields a test filters on; a record of the wrong size is logged
// raw only, since the driver refuses it anyway.
static void Decode(RequestRecord* record) {
  const std::vector<uint8_t>& in = record->input;
  switch (record->code) {
    case wire::kEcho:
      if (in.size() == wire::kEchoPacketSize)
        record->port = wire::ReadWord(in, wire::kEchoPacketPort);
      break;
    case wire::kCloseEchoPort:
    case wire::kFreePort:
    case wire::kBindThread:
      if (in.size() == wire::kPortWordSize) record->port = wire::ReadWord(in, 0);
      break;
    case wire::kReceive:
      if (in.size() == wire::kReceiveRequestSize) {
        record->port = wire::ReadWord(in, wire::kReceiveRequestPort);
        record->threadIndex = wire::ReadWord(in, wire::kReceiveRequestThreadIndex);
        record->largeBuffer = in[wire::kReceiveRequestLargeBuffer];
      }
      break;
    case wire::kReply:
      if (in.size() == wire::kReplyHeaderSize) {
        record->port = wire::ReadWord(in, wire::kReplyHeaderPort);
        record->threadIndex = wire::ReadWord(in, wire::kReplyHeaderThreadIndex);
      }
      break;
    default:
      break;
  }
}

uint64_t RequestLog::Begin(const posix::IoRequest& request, std::vector<uint8_t> input) {
  RequestRecord record;
  record.sequence = nextSequence_++;
  record.code = request.Code();
  record.input = std::move(input);
  record.outputLength = request.OutputLength();
  record.outputNull = request.Output() == nullptr;
  record.overlapped = request.Overlapped();
  Decode(&record);
  ++totals_[record.code];
  records_.push_back(std::move(record));
  return records_.back().sequence;
}

RequestRecord* RequestLog::Find(uint64_t sequence) {
  if (sequence < firstSequence_) return nullptr;
  return &records_[sequence - firstSequence_];
}

void RequestLog::MarkPended(uint64_t sequence) {
  if (RequestRecord* record = Find(sequence)) record->pended = true;
}

void RequestLog::Finish(uint64_t sequence, NTSTATUS status, DWORD bytes) {
  if (RequestRecord* record = Find(sequence)) {
    record->status = status;
    record->bytes = bytes;
  }
}

size_t RequestLog::Total(DWORD code) const {
  auto it = totals_.find(code);
  return it == totals_.end() ? 0 : it->second;
}

void RequestLog::Clear() {
  records_.clear();
  firstSequence_ = nextSequence_;
}

}  // namespace sim
}  // namespace qrv
