#include "connection/protocol.h"

#include "connection/sync_request.h"

namespace qrv {

// The device is open for overlapped I/O, where a driver may answer any
// request pending. Sent without an OVERLAPPED, such a request would return
// while the driver still holds the caller's buffers, and its completion
// would write into memory that is gone; so each goes through a record of its
// own. These requests come from entry points that hold the process-wide
// lock: a driver that leaves one unanswered for a heartbeat period is taken
// as gone, so that no entry point waits on it for ever. Entry points are
// rare, so the record's event is made per call here; the threads that send
// per message own theirs. The byte count is not used by any of these codes.
bool SendRequest(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
                 DWORD outputSize) {
  SyncRequest request;
  return request.Open() && request
                               .Send(device, code, input, inputSize, output, outputSize, nullptr,
                                     kControlRequestBoundMs)
                               .succeeded;
}

bool RequestPort(HANDLE device, DWORD code, PortKind kind, uint32_t serviceId, uint32_t threadCount,
                 uint32_t* port) {
  const PortRequest request = {kind, {0, 0, 0}, serviceId, threadCount};
  uint32_t answer = UC_MAX_PORTS;
  if (!SendRequest(device, code, &request, sizeof(request), &answer, sizeof(answer)) ||
      answer >= UC_MAX_PORTS) {
    return false;
  }
  *port = answer;
  return true;
}

}  // namespace qrv
