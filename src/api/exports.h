// The exported entry points as the library declares them (hosts: quorvel.h).
#ifndef QUORVEL_API_EXPORTS_H_
#define QUORVEL_API_EXPORTS_H_

#include <cstdint>

#include "platform/win32.h"
#include "quorvel/quorvel.h"

extern "C" {
// Opens the control device and starts the heartbeat; the parameter is not
// read. 0 or E_FAIL.
HRESULT WINAPI Init(uint32_t unused);
// Stops every service, then the heartbeat, and closes the device.
void WINAPI UnInit();
// Starts serving the service id (0 to 15) with the callback. 0 or E_FAIL.
HRESULT WINAPI Register(uint32_t serviceId, UcServiceCallback callback, void* context);
// Stops serving the service id. 0 or E_FAIL.
HRESULT WINAPI Unregister(uint32_t serviceId);
}

#endif  // QUORVEL_API_EXPORTS_H_
