#include "platform/posix/device_file.h"

#include "platform/posix/device_registry.h"

using qrv::posix::Fail;

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD flagsAndAttributes, HANDLE) {
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  // Only devices exist in the stand-in; access, sharing and disposition have
  // nothing to act on.
  qrv::posix::Device* device = qrv::posix::DeviceRegistry::Instance().Find(fileName);
  if (device == nullptr) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  return qrv::posix::HandleTable::Instance().Insert(
      std::make_shared<qrv::posix::DeviceFile>(device, overlapped));
}
