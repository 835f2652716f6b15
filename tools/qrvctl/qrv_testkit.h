/*
 * The test kit for Windows hosts, in C: load the reference driver
 * (qrvdrv.sys) through the service manager and play the driver's side of a
 * service through its control device (qrvctl.h): post messages, read their
 * outcomes and replies, arm and clear faults, read counters. Header-only,
 * so that hosts built with either ABI (MSVC or GNU) use it as they are;
 * qrvctl.exe is a command-line front end to the same calls.
 *
 * Every call returns ERROR_SUCCESS or a Win32 error. The service calls need
 * the rights of the service manager (an administrator on Windows; any user
 * under Wine). Requests on the control device wait at most
 * QRV_TESTKIT_CALL_TIMEOUT_MS; a driver that does not answer in that time is
 * reported as WAIT_TIMEOUT and the request is cancelled.
 */
#ifndef QUORVEL_TESTKIT_QRV_TESTKIT_H_
#define QUORVEL_TESTKIT_QRV_TESTKIT_H_

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "qrvctl.h"

/* The reference driver's service: a kernel driver (SERVICE_KERNEL_DRIVER)
 * started on demand. Its protocol device is \\.\QRVDev, its control device
 * QRVCTL_DEVICE_PATH. */
#define QRV_TESTKIT_SERVICE_NAME L"qrvdrv"
#define QRV_TESTKIT_SERVICE_TYPE SERVICE_KERNEL_DRIVER
#define QRV_TESTKIT_CALL_TIMEOUT_MS 10000u
/* How long start and stop wait for the driver to leave a pending state. */
#define QRV_TESTKIT_STATE_TIMEOUT_MS 10000u

/* Opens the driver's service with `access`; *error is set on failure. */
static inline SC_HANDLE QrvTestkitOpenService(DWORD access, DWORD* error) {
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = NULL;
  *error = ERROR_SUCCESS;
  if (manager == NULL) {
    *error = GetLastError();
    return NULL;
  }
  service = OpenServiceW(manager, QRV_TESTKIT_SERVICE_NAME, access);
  if (service == NULL) *error = GetLastError();
  CloseServiceHandle(manager);
  return service;
}

/* Waits while the service is in `pending`: the service manager offers no
 * event for a driver's state, so it is polled in short steps, within
 * QRV_TESTKIT_STATE_TIMEOUT_MS. Returns ERROR_SUCCESS when it reached
 * `wanted`, WAIT_TIMEOUT or ERROR_SERVICE_NOT_ACTIVE otherwise. */
static inline DWORD QrvTestkitAwaitState(SC_HANDLE service, DWORD pending, DWORD wanted) {
  SERVICE_STATUS status;
  DWORD waited;
  for (waited = 0; waited <= QRV_TESTKIT_STATE_TIMEOUT_MS; waited += 5) {
    if (!QueryServiceStatus(service, &status)) return GetLastError();
    if (status.dwCurrentState == wanted) return ERROR_SUCCESS;
    if (status.dwCurrentState != pending) return ERROR_SERVICE_NOT_ACTIVE;
    Sleep(5);
  }
  return WAIT_TIMEOUT;
}

/* In a fresh Wine prefix the service manager may still be settling when
 * the first commands arrive: the database is locked, or a service just
 * created is not yet found. Install and start retry these two errors for
 * up to QRV_TESTKIT_SETTLE_MS. */
#define QRV_TESTKIT_SETTLE_MS 5000u

/* Returns nonzero, after a short pause, when `error` is one of the settling
 * errors and the retries have not yet taken QRV_TESTKIT_SETTLE_MS. */
static inline int QrvTestkitSettling(DWORD error, DWORD* waited) {
  if (error != ERROR_SERVICE_DOES_NOT_EXIST && error != ERROR_SERVICE_DATABASE_LOCKED) return 0;
  if (*waited >= QRV_TESTKIT_SETTLE_MS) return 0;
  Sleep(50);
  *waited += 50;
  return 1;
}

static inline DWORD QrvTestkitInstallOnce(const wchar_t* imagePath) {
  DWORD error = ERROR_SUCCESS;
  SC_HANDLE service;
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (manager == NULL) return GetLastError();
  service = CreateServiceW(manager, QRV_TESTKIT_SERVICE_NAME, QRV_TESTKIT_SERVICE_NAME,
                           SERVICE_ALL_ACCESS, QRV_TESTKIT_SERVICE_TYPE, SERVICE_DEMAND_START,
                           SERVICE_ERROR_NORMAL, imagePath, NULL, NULL, NULL, NULL, NULL);
  if (service == NULL)
    error = GetLastError();
  else
    CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return error;
}

/* Creates the driver's service for the image at `imagePath` (a Windows
 * path to qrvdrv.sys). ERROR_SERVICE_EXISTS when it is installed already. */
static inline DWORD QrvTestkitInstall(const wchar_t* imagePath) {
  DWORD waited = 0;
  DWORD error;
  do error = QrvTestkitInstallOnce(imagePath);
  while (QrvTestkitSettling(error, &waited));
  return error;
}

static inline DWORD QrvTestkitStartOnce(void) {
  DWORD error;
  SC_HANDLE service = QrvTestkitOpenService(SERVICE_ALL_ACCESS, &error);
  if (service == NULL) return error;
  error = StartServiceW(service, 0, NULL) ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_SUCCESS)
    error = QrvTestkitAwaitState(service, SERVICE_START_PENDING, SERVICE_RUNNING);
  CloseServiceHandle(service);
  return error;
}

/* Starts the installed driver and waits until it runs. A service created
 * just before, by this process or another, is waited for (see
 * QRV_TESTKIT_SETTLE_MS). */
static inline DWORD QrvTestkitStart(void) {
  DWORD waited = 0;
  DWORD error;
  do error = QrvTestkitStartOnce();
  while (QrvTestkitSettling(error, &waited));
  return error;
}

/* Stops the driver (which unloads it: messages still open fail back with
 * QRVCTL_FAIL_UNLOAD) and waits until it has stopped. */
static inline DWORD QrvTestkitStop(void) {
  DWORD error;
  SERVICE_STATUS status;
  SC_HANDLE service = QrvTestkitOpenService(SERVICE_ALL_ACCESS, &error);
  if (service == NULL) return error;
  error = ControlService(service, SERVICE_CONTROL_STOP, &status) ? ERROR_SUCCESS : GetLastError();
  if (error == ERROR_SUCCESS)
    error = QrvTestkitAwaitState(service, SERVICE_STOP_PENDING, SERVICE_STOPPED);
  CloseServiceHandle(service);
  return error;
}

/* Deletes the driver's service; stop it first. */
static inline DWORD QrvTestkitRemove(void) {
  DWORD error;
  SC_HANDLE service = QrvTestkitOpenService(DELETE, &error);
  if (service == NULL) return error;
  error = DeleteService(service) ? ERROR_SUCCESS : GetLastError();
  CloseServiceHandle(service);
  return error;
}

/* Opens the control device of the running driver (overlapped; close it with
 * CloseHandle). INVALID_HANDLE_VALUE with the error in GetLastError(), which
 * is ERROR_FILE_NOT_FOUND when the driver is not running. */
static inline HANDLE QrvTestkitOpen(void) {
  return CreateFileW(QRVCTL_DEVICE_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
}

/* One request on the control device, waited for at most `timeoutMs`, then
 * cancelled and awaited, so that its buffers may go when this returns. */
static inline DWORD QrvTestkitCall(HANDLE control, uint32_t code, const void* input,
                                   DWORD inputLength, void* output, DWORD outputLength,
                                   DWORD* bytes, DWORD timeoutMs) {
  OVERLAPPED overlapped;
  DWORD error = ERROR_SUCCESS;
  memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
  if (overlapped.hEvent == NULL) return GetLastError();
  *bytes = 0;
  if (!DeviceIoControl(control, code, (void*)input, inputLength, output, outputLength, NULL,
                       &overlapped)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0)
        CancelIoEx(control, &overlapped);
      error = ERROR_SUCCESS;
    }
  }
  if (error == ERROR_SUCCESS && !GetOverlappedResult(control, &overlapped, bytes, TRUE)) {
    error = GetLastError();
    if (error == ERROR_OPERATION_ABORTED) error = WAIT_TIMEOUT;
  }
  CloseHandle(overlapped.hEvent);
  return error;
}

/* Posts a message to the port of `serviceId`. `wantReply` sets the header
 * word it is delivered with (1, or 0 for no reply); `slot` is a thread index
 * that must take it, or QRVCTL_ANY_SLOT. ERROR_NOT_FOUND when the service
 * holds no port (no host registered it). */
static inline DWORD QrvTestkitPost(HANDLE control, uint32_t serviceId, int wantReply,
                                   const void* payload, uint32_t length, uint32_t slot,
                                   uint32_t* messageId) {
  QrvCtlPost post;
  DWORD bytes = 0;
  DWORD error;
  uint8_t* input;
  if (length > QRVCTL_MAX_PAYLOAD) return ERROR_INVALID_PARAMETER;
  input = (uint8_t*)malloc(sizeof post + length);
  if (input == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  post.serviceId = serviceId;
  post.header = wantReply ? 1u : 0u;
  post.targetSlot = slot;
  post.payloadLength = length;
  memcpy(input, &post, sizeof post);
  if (length > 0) memcpy(input + sizeof post, payload, length);
  error = QrvTestkitCall(control, QRVCTL_IOCTL_POST, input, (DWORD)(sizeof post + length),
                         messageId, sizeof *messageId, &bytes, QRV_TESTKIT_CALL_TIMEOUT_MS);
  free(input);
  return error;
}

/* Where the message stands, and up to `capacity` bytes of its reply in
 * `reply` (*replyLength: how many were copied; outcome->replyLength: how
 * many the reply had). */
static inline DWORD QrvTestkitOutcome(HANDLE control, uint32_t messageId, QrvCtlOutcome* outcome,
                                      void* reply, uint32_t capacity, uint32_t* replyLength) {
  QrvCtlOutcomeRequest request;
  DWORD bytes = 0;
  DWORD error;
  uint8_t* output = (uint8_t*)malloc(sizeof *outcome + QRVCTL_MAX_REPLY);
  if (output == NULL) return ERROR_NOT_ENOUGH_MEMORY;
  request.messageId = messageId;
  request.release = 0;
  error = QrvTestkitCall(control, QRVCTL_IOCTL_OUTCOME, &request, sizeof request, output,
                         (DWORD)(sizeof *outcome + QRVCTL_MAX_REPLY), &bytes,
                         QRV_TESTKIT_CALL_TIMEOUT_MS);
  if (error == ERROR_SUCCESS && bytes < sizeof *outcome) error = ERROR_INVALID_DATA;
  if (error == ERROR_SUCCESS) {
    uint32_t kept = (uint32_t)(bytes - sizeof *outcome);
    memcpy(outcome, output, sizeof *outcome);
    *replyLength = kept < capacity ? kept : capacity;
    if (*replyLength > 0) memcpy(reply, output + sizeof *outcome, *replyLength);
  }
  free(output);
  return error;
}

/* Sleeps on the driver's change counter until it moves past `generation`
 * or `timeoutMs` have passed since `start` (WAIT_TIMEOUT). */
static inline DWORD QrvTestkitWaitChange(HANDLE control, uint32_t generation, DWORD start,
                                         DWORD timeoutMs) {
  DWORD bytes = 0;
  DWORD error;
  const DWORD elapsed = GetTickCount() - start;
  if (elapsed >= timeoutMs) return WAIT_TIMEOUT;
  error = QrvTestkitCall(control, QRVCTL_IOCTL_WAIT_CHANGE, &generation, sizeof generation,
                         &generation, sizeof generation, &bytes, timeoutMs - elapsed);
  return error == WAIT_TIMEOUT ? ERROR_SUCCESS : error;
}

/* Like QrvTestkitOutcome, but waits up to `timeoutMs` for a final state
 * (ANSWERED, NOT_WANTED or FAILED_BACK), without polling: it sleeps on the
 * driver's change counter between reads. WAIT_TIMEOUT, with the last outcome
 * read, when the message is not final by then. */
static inline DWORD QrvTestkitAwaitOutcome(HANDLE control, uint32_t messageId, DWORD timeoutMs,
                                           QrvCtlOutcome* outcome, void* reply, uint32_t capacity,
                                           uint32_t* replyLength) {
  const DWORD start = GetTickCount();
  for (;;) {
    DWORD error = QrvTestkitOutcome(control, messageId, outcome, reply, capacity, replyLength);
    if (error != ERROR_SUCCESS || outcome->state >= QRVCTL_MSG_ANSWERED) return error;
    error = QrvTestkitWaitChange(control, outcome->generation, start, timeoutMs);
    if (error != ERROR_SUCCESS) return error;
  }
}

static inline DWORD QrvTestkitPorts(HANDLE control, QrvCtlPorts* ports) {
  DWORD bytes = 0;
  return QrvTestkitCall(control, QRVCTL_IOCTL_PORTS, NULL, 0, ports, sizeof *ports, &bytes,
                        QRV_TESTKIT_CALL_TIMEOUT_MS);
}

/* Waits up to `timeoutMs` until `serviceId` holds a port, that is until a
 * host has registered it, and stores the port in *port. Posts made from then
 * on reach the service. WAIT_TIMEOUT when no host registered it in time. */
static inline DWORD QrvTestkitAwaitService(HANDLE control, uint32_t serviceId, DWORD timeoutMs,
                                           uint32_t* port) {
  const DWORD start = GetTickCount();
  for (;;) {
    QrvCtlPorts ports;
    uint32_t i;
    DWORD error = QrvTestkitPorts(control, &ports);
    if (error != ERROR_SUCCESS) return error;
    for (i = 0; i < QRVCTL_MAX_PORTS; ++i) {
      if (ports.ports[i].state == QRVCTL_PORT_SERVICE && ports.ports[i].serviceId == serviceId) {
        *port = i;
        return ERROR_SUCCESS;
      }
    }
    error = QrvTestkitWaitChange(control, ports.generation, start, timeoutMs);
    if (error != ERROR_SUCCESS) return error;
  }
}

static inline DWORD QrvTestkitCounters(HANDLE control, QrvCtlCounters* counters) {
  DWORD bytes = 0;
  return QrvTestkitCall(control, QRVCTL_IOCTL_COUNTERS, NULL, 0, counters, sizeof *counters, &bytes,
                        QRV_TESTKIT_CALL_TIMEOUT_MS);
}

/* Arms one fault kind (see QrvCtlFault); a count of 0 disarms it. */
static inline DWORD QrvTestkitSetFault(HANDLE control, const QrvCtlFault* fault) {
  DWORD bytes = 0;
  return QrvTestkitCall(control, QRVCTL_IOCTL_SET_FAULT, fault, sizeof *fault, NULL, 0, &bytes,
                        QRV_TESTKIT_CALL_TIMEOUT_MS);
}

static inline DWORD QrvTestkitClearFault(HANDLE control, uint32_t kind) {
  QrvCtlFault fault;
  memset(&fault, 0, sizeof fault);
  fault.kind = kind;
  return QrvTestkitSetFault(control, &fault);
}

#endif /* QUORVEL_TESTKIT_QRV_TESTKIT_H_ */
