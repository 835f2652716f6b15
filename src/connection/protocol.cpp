#include "connection/protocol.h"

#include "platform/owned_handle.h"

// The device is open for overlapped I/O, where a driver may answer any
// request pending. Sent without an OVERLAPPED, such a request would return
// while the driver still holds the caller's buffers, and its completion
// would write into memory that is gone. Each request therefore gets a record
// and an event of its own and is awaited until it completes, without a time
// limit as a receive is; a driver that finishes at once sees the same request
// as before. The byte count is not used by any of the synchronous codes.
bool SendRequest(HANDLE device, DWORD code, const void* input, DWORD inputSize, void* output,
                 DWORD outputSize) {
  const OwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event.IsOpen()) return false;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = event.Get();
  DWORD returned = 0;
  if (DeviceIoControl(device, code, const_cast<void*>(input), inputSize, output, outputSize,
                      &returned, &overlapped)) {
    return true;
  }
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(device, &overlapped, &returned, TRUE) != FALSE;
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
