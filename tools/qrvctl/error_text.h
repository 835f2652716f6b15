/* What a failed qrvctl step means, in words for this tool's user. */
#ifndef QUORVEL_TOOLS_QRVCTL_ERROR_TEXT_H_
#define QUORVEL_TOOLS_QRVCTL_ERROR_TEXT_H_

#include <windows.h>

/* The meaning of the Win32 `error` returned by `step` (a command name such
 * as "start", or "opening the control device"): the tool's own
 * words where this step is known to meet it, else the system's text. The
 * result is valid until the next call. */
const char* QrvctlErrorText(const char* step, DWORD error);

/* The name of a failed-back message's reason (QRVCTL_FAIL_*). */
const char* QrvctlFailReason(unsigned reason);

#endif /* QUORVEL_TOOLS_QRVCTL_ERROR_TEXT_H_ */
