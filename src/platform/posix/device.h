// The driver side of the POSIX stand-in's I/O manager, and its test hooks.
//
// A device object registers itself under a path ("\\.\Name"); CreateFileW on
// that path opens it and DeviceIoControl hands it one IoRequest per call. The
// stand-in completes requests the way the Windows I/O manager does:
//  - at issue, an overlapped request resets its event and gets a pending
//    status in Internal;
//  - a request the device finishes in Dispatch completes at once: the call
//    returns TRUE on success, or FALSE with the status mapped to a Win32
//    error; an overlapped one also gets Internal, InternalHigh and its event
//    set;
//  - a request the device pends (Dispatch returns kStatusPending) makes a
//    call on a handle opened for overlapped I/O return FALSE with
//    ERROR_IO_PENDING, with or without an OVERLAPPED; the device finishes it
//    later with IoRequest::Complete, which writes the caller's output and, if
//    there is one, Internal and InternalHigh, and then sets the event. A call
//    on any other handle blocks until then;
//  - CancelIoEx asks the device to cancel the requests of a handle (all, or
//    the one of an OVERLAPPED) that are still in flight: Device::Cancel is
//    called for each, and the device completes the ones it still holds,
//    normally as kStatusCancelled;
//  - a thread made by CreateThread that ends with requests of its own still
//    in flight is held, as Windows' I/O manager holds it, until the device
//    completes them or kIoGiveUpMs has passed; its handle is signalled only
//    then;
//  - METHOD_BUFFERED codes hand the device a system buffer and copy it back
//    to the caller only when the status is not an error (success or a
//    warning such as kStatusBufferOverflow); the direct-I/O codes hand the
//    device the caller's own output memory, so what the device writes there
//    reaches the caller whatever the status.
#ifndef QUORVEL_PLATFORM_POSIX_DEVICE_H_
#define QUORVEL_PLATFORM_POSIX_DEVICE_H_

#include "platform/win32.h"

namespace qrv {
namespace posix {

typedef LONG NTSTATUS;

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusPending = 0x103;
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005u);
constexpr NTSTATUS kStatusUnsuccessful = static_cast<NTSTATUS>(0xC0000001u);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000Du);
constexpr NTSTATUS kStatusInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010u);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023u);
constexpr NTSTATUS kStatusCancelled = static_cast<NTSTATUS>(0xC0000120u);
constexpr NTSTATUS kStatusNoMemory = static_cast<NTSTATUS>(0xC0000017u);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035u);
constexpr NTSTATUS kStatusInsufficientResources = static_cast<NTSTATUS>(0xC000009Au);
constexpr NTSTATUS kStatusInvalidDeviceState = static_cast<NTSTATUS>(0xC0000184u);
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000225u);

// A status that carries a raw Win32 error (FACILITY_WIN32), as a driver may
// return it; it maps back to exactly that error.
constexpr NTSTATUS StatusFromWin32Error(DWORD error) {
  return static_cast<NTSTATUS>(0xC0070000u | (error & 0xFFFFu));
}

// Maps a status to the Win32 error that GetLastError reports for it, as
// Windows does: success 0, pending 997, buffer overflow 234, buffer too
// small 122, cancelled 995, invalid parameter 87, invalid device request 1,
// unsuccessful 31, no memory 8, object name collision 183, insufficient
// resources 1450, invalid device state 22, not found 1168, FACILITY_WIN32
// statuses to their error, anything else 317.
QRV_PLATFORM_API DWORD Win32ErrorFromStatus(NTSTATUS status);

// One device control request. The device owns a pending request from the
// moment Dispatch returns kStatusPending until it calls Complete, exactly
// once; after Complete the object is gone.
class QRV_PLATFORM_API IoRequest {
 public:
  virtual DWORD Code() const = 0;
  virtual const void* Input() const = 0;
  virtual DWORD InputLength() const = 0;
  // Buffered codes: the system buffer. Direct codes: the caller's memory.
  // Null when the caller passed no output buffer.
  virtual void* Output() const = 0;
  virtual DWORD OutputLength() const = 0;
  // Whether the caller passed an OVERLAPPED record.
  virtual bool Overlapped() const = 0;
  // The open handle the request came through, as an opaque identity; the
  // same value that Device::HandleClosed later receives for that handle.
  virtual const void* File() const = 0;
  // Finishes a pending request with a status and a byte count.
  virtual void Complete(NTSTATUS status, DWORD bytes) = 0;

 protected:
  ~IoRequest() = default;
};

class QRV_PLATFORM_API Device {
 public:
  virtual ~Device() = default;
  // Handles one request on the calling thread. Returns the final status with
  // *bytes set, or kStatusPending after taking ownership of the request.
  virtual NTSTATUS Dispatch(IoRequest* request, DWORD* bytes) = 0;
  // CancelIoEx names the request, which the device pended or is about to
  // finish. A device that still holds it completes it (normally with
  // kStatusCancelled) before or after returning; one that has finished it
  // already, or cannot cancel, does nothing. Called without any lock of the
  // stand-in, so Complete may be called from inside; the request object stays
  // valid for the call even when the device completes it meanwhile.
  virtual void Cancel(IoRequest* request) { (void)request; }
  // A handle to the device was closed; `file` is what its requests' File()
  // returned. Requests still pending on it stay the device's to complete.
  virtual void HandleClosed(const void* file) { (void)file; }
};

// Registers the device under the path; it must outlive every handle opened
// on it. Registering a path again replaces the device for later opens.
QRV_PLATFORM_API void RegisterDevice(const wchar_t* path, Device* device);
// Later opens of the path fail with ERROR_FILE_NOT_FOUND; open handles keep
// working.
QRV_PLATFORM_API void UnregisterDevice(const wchar_t* path);

// Test hooks: after `skip` more successful creations of that kind anywhere in
// the process, the next one fails with the error (and the hook is spent).
QRV_PLATFORM_API void FailEventCreation(unsigned skip, DWORD error);
QRV_PLATFORM_API void FailThreadCreation(unsigned skip, DWORD error);
// Clears both hooks.
QRV_PLATFORM_API void ClearCreationFailures();

// Test hook: called on the calling thread at the start of every function of
// the seam that enters the kernel on Windows (creating, signalling, waiting
// on and closing objects, device requests and their cancels, and
// GetOverlappedResult when it must wait), with the function's name. Null: no
// observer. The observer must not call the seam.
typedef void (*KernelCallObserver)(const char* function);
QRV_PLATFORM_API void SetKernelCallObserver(KernelCallObserver observer);

// How long an ending thread is held for its requests. Windows' I/O manager
// gives up after about five minutes; a short constant keeps a test that
// forgets a request from waiting that long.
constexpr DWORD kIoGiveUpMs = 10000;
// Test hook: how many ending threads are held for their requests now.
QRV_PLATFORM_API size_t ThreadsHeldForRequests();

// Test hook: how many waits are blocked on the object the handle names now (a
// wait naming it twice counts twice); 0 when it names no waitable object.
QRV_PLATFORM_API size_t WaitsBlockedOn(HANDLE handle);

// Test hook: how many handles of any kind are open in the process.
QRV_PLATFORM_API size_t OpenHandleCount();
// Test hook: how many calls were given a null, closed or wrong-kind handle
// (each would raise an invalid-handle exception under strict handle checks).
QRV_PLATFORM_API size_t InvalidHandleUses();

}  // namespace posix
}  // namespace qrv

#endif  // QUORVEL_PLATFORM_POSIX_DEVICE_H_
