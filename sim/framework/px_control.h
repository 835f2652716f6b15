/* The stand-in framework's test control API: knobs that make the log
 * component misbehave on purpose, and observation of everything the library
 * did with it.
 *
 * Plain C across the module boundary: on Windows the framework and its host
 * each carry their own C++ runtime, so only C types and C function pointers
 * pass. All functions are thread-safe and may be called from any thread.
 * Knobs take effect on the next call they govern. A host that links
 * quorvel::framework_stand_in includes <quorvel/testkit/px_control.h> and
 * calls them directly; one that loads PXCOM.dll itself finds them by these
 * names (GetProcAddress, dlsym). */
#ifndef QUORVEL_SIM_FRAMEWORK_PX_CONTROL_H_
#define QUORVEL_SIM_FRAMEWORK_PX_CONTROL_H_

#include <stdint.h>

#if defined(PXCOM_BUILDING) && defined(_WIN32)
#define PXCOM_EXPORT __declspec(dllexport)
#elif defined(PXCOM_BUILDING)
#define PXCOM_EXPORT __attribute__((visibility("default")))
#else
#define PXCOM_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Event counts since load or the last PxControl_Reset, except
 * liveComponents, which is the number of components whose reference count
 * is above zero right now. */
typedef struct PxCounters {
  int32_t createInstanceCalls; /* every TzCoCreateInstance call */
  int32_t componentsCreated;   /* log components handed out */
  int32_t liveComponents;      /* not reset: a state, not an event */
  int32_t queryInterfaceCalls;
  int32_t addRefCalls;
  int32_t releaseCalls;
  int32_t createSinkCalls;       /* ids: PxControl_GetCreateSinkId */
  int32_t destroySinkCalls;      /* ids: PxControl_GetDestroySinkCall */
  int32_t destroySinkMismatches; /* DestroySink with a sink this component did not create */
  int32_t vprintCalls;           /* including ones that faulted */
} PxCounters;

/* What VPrint does instead of rendering. */
typedef enum PxFault {
  PX_FAULT_NONE = 0,
  /* Linux: throws std::runtime_error. Windows: raises the structured
   * exception 0xE06D7363, as MSVC-built code raises a C++ exception. */
  PX_FAULT_THROW = 1,
  /* Windows only: writes through a null pointer. */
  PX_FAULT_ACCESS_VIOLATION = 2
} PxFault;

/* The calls of the log component's life that PxControl_SetCallFault can
 * make raise a fault. */
typedef enum PxCall {
  PX_CALL_CREATE_INSTANCE = 0, /* TzCoCreateInstance */
  PX_CALL_CREATE_SINK = 1,
  PX_CALL_RELEASE = 2,
  PX_CALL_DESTROY_SINK = 3,
  PX_CALL_COUNT = 4
} PxCall;

/* Called with each rendered text, from the thread inside VPrint, after the
 * record is stored. Calls are serialised; the callback must not call
 * PxControl_SetLineCallback. */
typedef void (*PxLineCallback)(void* context, const char* text);

/* Called on entry to every VPrint, on the calling thread, before the fault
 * and under no lock of the module, so that it may raise whatever a sink
 * could raise. When it returns, the print goes on. */
typedef void (*PxVPrintHook)(void* context);

/* Clears records, call logs, counters (except liveComponents) and knobs. */
PXCOM_EXPORT void PxControl_Reset(void);

/* A negative `result` makes TzCoCreateInstance for the log component fail
 * with it; 0 (or any non-negative value) restores success. */
PXCOM_EXPORT void PxControl_FailCreateInstance(int32_t result);
/* A negative `result` makes CreateSink fail with it; 0 restores success. */
PXCOM_EXPORT void PxControl_FailCreateSink(int32_t result);
/* Nonzero: CreateSink succeeds but stores a null sink. */
PXCOM_EXPORT void PxControl_SetNullSink(int32_t on);
/* Returns 1 if the fault is available on this platform (and is now set),
 * 0 otherwise (the setting is unchanged). */
PXCOM_EXPORT int32_t PxControl_SetVPrintFault(int32_t fault);
/* Makes `call` raise `fault` (a PxFault) on entry, before it changes
 * anything, except Release, which raises once it has dropped the reference
 * (so that a faulted Release leaks no component). A faulted call is counted,
 * except DestroySink, whose log entry needs its outcome. PX_FAULT_NONE
 * restores the call. Returns 1 if the call and the fault exist on this
 * platform (and the knob is set), 0 otherwise. */
PXCOM_EXPORT int32_t PxControl_SetCallFault(int32_t call, int32_t fault);
/* Nonzero: every rendered text is also written to stderr, one line each. */
PXCOM_EXPORT void PxControl_SetEcho(int32_t on);
/* Null `callback` turns it off; once this returns, the previous callback
 * is not running and will not be called again. */
PXCOM_EXPORT void PxControl_SetLineCallback(PxLineCallback callback, void* context);
/* Null `hook` turns it off. Reset clears it. */
PXCOM_EXPORT void PxControl_SetVPrintHook(PxVPrintHook hook, void* context);

PXCOM_EXPORT void PxControl_GetCounters(PxCounters* out);
/* The id passed to the index-th CreateSink call; returns 1, or 0 if there
 * was no such call. */
PXCOM_EXPORT int32_t PxControl_GetCreateSinkId(int32_t index, int32_t* id);
/* The index-th DestroySink call: its id, and 1 in *sinkMatched when the sink
 * passed was one the same component's CreateSink returned and had not yet
 * been destroyed. Returns 1, or 0 if there was no such call. */
PXCOM_EXPORT int32_t PxControl_GetDestroySinkCall(int32_t index, int32_t* id, int32_t* sinkMatched);

/* Records: one per successful VPrint, in the order they were stored. */
PXCOM_EXPORT int32_t PxControl_RecordCount(void);
/* Copies record `index` into the buffers, truncated and zero-terminated
 * (a null buffer or size 0 copies nothing), and stores the full lengths in
 * *formatLength and *textLength (either may be null). Returns 1, or 0 if
 * there is no such record. */
PXCOM_EXPORT int32_t PxControl_GetRecord(int32_t index, char* format, int32_t formatSize,
                                         int32_t* formatLength, char* text, int32_t textSize,
                                         int32_t* textLength);
PXCOM_EXPORT void PxControl_ClearRecords(void);
/* Waits up to timeoutMs for a record whose text is exactly `text`; returns 1
 * when one exists, 0 on timeout. */
PXCOM_EXPORT int32_t PxControl_WaitForText(const char* text, int32_t timeoutMs);
/* The number of records whose text is exactly `text`. */
PXCOM_EXPORT int32_t PxControl_CountText(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEL_SIM_FRAMEWORK_PX_CONTROL_H_ */
