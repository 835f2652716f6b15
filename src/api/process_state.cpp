#include "api/process_state.h"

namespace {

HANDLE device = INVALID_HANDLE_VALUE;
CRITICAL_SECTION processLock;

}  // namespace

HANDLE DeviceHandle() { return device; }

void SetDeviceHandle(HANDLE handle) { device = handle; }

CRITICAL_SECTION* ProcessLock() { return &processLock; }
