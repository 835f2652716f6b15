// The one header through which library code reaches the operating system.
//
// On Windows it is <windows.h>. Elsewhere it declares the subset of Win32
// that src/platform/posix implements, with Windows' type widths and the
// semantics the library relies on (see the contracts below). Library code
// includes nothing else of the platform.
#ifndef QUORVEL_PLATFORM_WIN32_H_
#define QUORVEL_PLATFORM_WIN32_H_

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#else  // POSIX stand-in

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#if defined(QRV_PLATFORM_BUILD)
#define QRV_PLATFORM_API __attribute__((visibility("default")))
#else
#define QRV_PLATFORM_API
#endif

// Calling conventions have no meaning on the 64-bit POSIX targets.
#define WINAPI

typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef int32_t BOOL;
typedef int32_t HRESULT;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HINSTANCE;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef const wchar_t* LPCWSTR;
typedef const char* LPCSTR;
typedef int(WINAPI* FARPROC)();

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 259u
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_BAD_COMMAND 22u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BUFFER_OVERFLOW 111u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_MR_MID_NOT_FOUND 317u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_IO_INCOMPLETE 996u
#define ERROR_IO_PENDING 997u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SYSTEM_RESOURCES 1450u

#define S_OK 0
#define E_FAIL (static_cast<HRESULT>(0x80004005u))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_FLAG_OVERLAPPED 0x40000000u

#define FILE_ANY_ACCESS 0u
#define METHOD_BUFFERED 0u
#define METHOD_IN_DIRECT 1u
#define METHOD_OUT_DIRECT 2u
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define DLL_PROCESS_DETACH 0u
#define DLL_PROCESS_ATTACH 1u

#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Internal holds the completion status of the request (an NTSTATUS, pending
// while the request is outstanding), InternalHigh its byte count; hEvent is
// set when the request completes.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;

// A recursive lock, as on Windows: the owning thread may enter it again.
struct CRITICAL_SECTION {
  pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);

// Every function sets the calling thread's last error on failure, exactly
// where its Windows namesake does.
extern "C" {
QRV_PLATFORM_API DWORD GetLastError();
QRV_PLATFORM_API void SetLastError(DWORD error);

QRV_PLATFORM_API BOOL CloseHandle(HANDLE handle);

QRV_PLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
QRV_PLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);
QRV_PLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
QRV_PLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
QRV_PLATFORM_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// Security attributes are ignored; a name must be null (unnamed events only).
QRV_PLATFORM_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                     BOOL initialState, LPCWSTR name);
QRV_PLATFORM_API BOOL SetEvent(HANDLE event);
QRV_PLATFORM_API BOOL ResetEvent(HANDLE event);

// Waitable objects are events and threads. A wait on a null or closed handle,
// or on a count of 0 or above MAXIMUM_WAIT_OBJECTS, returns WAIT_FAILED with
// ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER. A wait-any reports the
// lowest signalled index and consumes only the auto-reset event it reports;
// a wait-all consumes every auto-reset event it waited for.
QRV_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
QRV_PLATFORM_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                              DWORD milliseconds);
QRV_PLATFORM_API void Sleep(DWORD milliseconds);

// The handle is signalled when the thread ends; its exit code is the start
// routine's result, or the code given to FreeLibraryAndExitThread.
QRV_PLATFORM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                     LPTHREAD_START_ROUTINE start, LPVOID parameter,
                                     DWORD creationFlags, LPDWORD threadId);
QRV_PLATFORM_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
QRV_PLATFORM_API DWORD GetCurrentThreadId();
// The id GetCurrentThreadId returns on that thread; 0 with
// ERROR_INVALID_HANDLE for a handle that is not a thread's.
QRV_PLATFORM_API DWORD GetThreadId(HANDLE thread);

// Thread-local slots: TlsAlloc gives a slot that holds null on every thread
// (TLS_OUT_OF_INDEXES with ERROR_NO_MORE_ITEMS when none is left); each
// thread then reads and writes its own value. The index is not validated.
QRV_PLATFORM_API DWORD TlsAlloc();
QRV_PLATFORM_API BOOL TlsFree(DWORD index);
QRV_PLATFORM_API LPVOID TlsGetValue(DWORD index);
QRV_PLATFORM_API BOOL TlsSetValue(DWORD index, LPVOID value);

// Opens a device registered in this process under the path (see
// posix/device.h); fails with ERROR_FILE_NOT_FOUND when there is none.
QRV_PLATFORM_API HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                    LPSECURITY_ATTRIBUTES attributes, DWORD creationDisposition,
                                    DWORD flagsAndAttributes, HANDLE templateFile);
QRV_PLATFORM_API BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer,
                                      DWORD inBufferSize, LPVOID outBuffer, DWORD outBufferSize,
                                      LPDWORD bytesReturned, LPOVERLAPPED overlapped);
QRV_PLATFORM_API BOOL GetOverlappedResult(HANDLE device, LPOVERLAPPED overlapped,
                                          LPDWORD bytesTransferred, BOOL wait);
// Asks the device to cancel the requests in flight on the handle that were
// issued with `overlapped` (every one when null), whichever thread issued
// them; returns before they complete. FALSE with ERROR_NOT_FOUND when none is
// in flight.
QRV_PLATFORM_API BOOL CancelIoEx(HANDLE device, LPOVERLAPPED overlapped);

// Finds a module already loaded in the process; never loads one and holds
// no reference on it.
QRV_PLATFORM_API HMODULE GetModuleHandleW(LPCWSTR moduleName);
QRV_PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS: takes a reference on the
// module that holds the address; with 0: on the loaded module of that name
// (never loading it). Released by FreeLibrary or FreeLibraryAndExitThread.
QRV_PLATFORM_API BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleNameOrAddress, HMODULE* module);
QRV_PLATFORM_API BOOL FreeLibrary(HMODULE module);
// Ends the calling thread (a thread made by CreateThread) with the exit
// code, releasing the module reference only once no frame of the thread's
// start routine remains on its stack.
// POSIX stand-in: the thread's stack is unwound to the seam's thread entry,
// so destructors run, and no frame in between may be noexcept or swallow
// every exception (catch (...)); a swallowed exit aborts the process.
[[noreturn]] QRV_PLATFORM_API void FreeLibraryAndExitThread(HMODULE module, DWORD exitCode);
}

#endif  // _WIN32

#endif  // QUORVEL_PLATFORM_WIN32_H_
