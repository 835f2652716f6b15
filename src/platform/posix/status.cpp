#include "platform/posix/device.h"

namespace qrv {
namespace posix {

DWORD Win32ErrorFromStatus(NTSTATUS status) {
  switch (status) {
    case kStatusSuccess:
      return ERROR_SUCCESS;
    case kStatusPending:
      return ERROR_IO_PENDING;
    case kStatusBufferOverflow:
      return ERROR_MORE_DATA;
    case kStatusBufferTooSmall:
      return ERROR_INSUFFICIENT_BUFFER;
    case kStatusCancelled:
      return ERROR_OPERATION_ABORTED;
    case kStatusInvalidParameter:
      return ERROR_INVALID_PARAMETER;
    case kStatusInvalidDeviceRequest:
      return ERROR_INVALID_FUNCTION;
    case kStatusUnsuccessful:
      return ERROR_GEN_FAILURE;
    case kStatusNoMemory:
      return ERROR_NOT_ENOUGH_MEMORY;
    case kStatusObjectNameCollision:
      return ERROR_ALREADY_EXISTS;
    case kStatusInsufficientResources:
      return ERROR_NO_SYSTEM_RESOURCES;
    case kStatusInvalidDeviceState:
      return ERROR_BAD_COMMAND;
    case kStatusNotFound:
      return ERROR_NOT_FOUND;
  }
  // FACILITY_WIN32 carries the error itself in the low word, for warnings
  // (0x8007xxxx) as for errors (0xC007xxxx).
  const DWORD code = static_cast<DWORD>(status);
  if ((code & 0x3FFF0000u) == 0x00070000u && (code & 0x80000000u) != 0) return code & 0xFFFFu;
  return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace posix
}  // namespace qrv
