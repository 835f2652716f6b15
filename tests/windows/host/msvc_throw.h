// C++ exceptions as an MSVC-built host or sink throws them on x86: the
// structured exception 0xE06D7363 whose record carries the protocol's magic
// number, the thrown object and its throw info, whose second field is the
// object's destructor (thiscall). Built by hand, with a destructor that
// counts the objects destroyed and checks each was still intact.
#ifndef QRV_TESTS_WINDOWS_HOST_MSVC_THROW_H_
#define QRV_TESTS_WINDOWS_HOST_MSVC_THROW_H_

#include <windows.h>

#include <cstdint>

namespace qrv {
namespace wintest {

constexpr DWORD kMsvcCppException = 0xE06D7363;
constexpr uint32_t kMsvcMagic = 0x19930520;

struct MsvcThrow {
  uint32_t magic = kMsvcMagic;
  bool destructor = true;  // false: the throw info names no destructor
  DWORD parameters = 3;    // the record's NumberParameters
  bool object = true;      // false: a null object (MSVC's rethrow record)
  bool info = true;        // false: a null throw info (MSVC's rethrow record)
};

// Raises the exception (noncontinuable, as MSVC raises it) with an object in
// this function's frame, where MSVC keeps a thrown object until the catch
// is done with it. Never returns.
[[noreturn]] void RaiseMsvcCppException(const MsvcThrow& how);

// Destructor calls so far that found their object intact and not destroyed
// before, and those that did not.
int ObjectsDestroyed();
int ObjectsMisdestroyed();

}  // namespace wintest
}  // namespace qrv

#endif  // QRV_TESTS_WINDOWS_HOST_MSVC_THROW_H_
