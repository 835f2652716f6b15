#include "request_glue.h"

#include "port_model.h"

#define QRV_POOL_TAG 0x76725151 /* 'QQrv' */

static KSPIN_LOCK g_lock;
static QrvModel* g_model; /* guarded by g_lock */

/* Delayed runs: each held-back request has one work item that waits out its
 * delay (cut short by g_stopping at unload) and then runs it. */
static KEVENT g_stopping;
static KEVENT g_delaysIdle;          /* set while no work item is outstanding */
static uint32_t g_delaysOutstanding; /* guarded by g_lock, with g_delaysIdle */

typedef struct DelayedRun {
  PIO_WORKITEM item;
  uint32_t ticket;
  uint32_t delayMs;
} DelayedRun;

static void* Allocate(uint32_t size) {
  return ExAllocatePoolWithTag(NonPagedPool, size, QRV_POOL_TAG);
}

static void Release(void* block) { ExFreePoolWithTag(block, QRV_POOL_TAG); }

/* The interrupt time counts 100 ns units since boot. */
static uint32_t NowMs(void) { return (uint32_t)(KeQueryInterruptTime() / 10000); }

/* A pending IRP belongs to whoever clears its cancel routine first: the
 * model (to finish it) or the I/O manager (to cancel it). One that ignores
 * cancellation has none and is always the model's. */
static int Claim(QrvRequest* request) {
  return request->ignoresCancel || IoSetCancelRoutine((PIRP)request->context, NULL) != NULL;
}

static void CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

/* REQUIRES: g_lock is not held. */
static void CompleteDone(QrvRequest* done) {
  while (done) {
    QrvRequest* next = done->doneNext;
    CompleteIrp((PIRP)done->context, (NTSTATUS)done->status, done->information);
    Release(done);
    done = next;
  }
}

static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  QrvRequest* request = (QrvRequest*)irp->Tail.Overlay.DriverContext[0];
  QrvRequest* done = NULL;
  KIRQL irql;
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KeAcquireSpinLock(&g_lock, &irql);
  QrvModelForget(g_model, request, &done);
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
  CompleteIrp(irp, STATUS_CANCELLED, 0);
  Release(request);
}

/* REQUIRES: g_lock is held, so that nobody can claim the IRP before its
 * cancel routine is set. Returns TRUE when the IRP was cancelled already and
 * the caller must complete it as cancelled. */
static BOOLEAN MarkPending(PIRP irp, QrvRequest* request, QrvRequest** done) {
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = request;
  if (request->ignoresCancel) return FALSE; /* the fault: no cancel routine */
  IoSetCancelRoutine(irp, CancelRoutine);
  if (!irp->Cancel || !IoSetCancelRoutine(irp, NULL)) return FALSE;
  QrvModelForget(g_model, request, done);
  return TRUE;
}

/* The caller's output: the system buffer, or the mapped MDL for direct I/O. */
static void* OutputOf(PIRP irp, ULONG code) {
  ULONG method = code & 3;
  if (method == METHOD_BUFFERED) return irp->AssociatedIrp.SystemBuffer;
  if (method == METHOD_NEITHER || !irp->MdlAddress) return NULL;
  return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
}

static QrvRequest* NewRequest(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  QrvRequest* request = (QrvRequest*)Allocate(sizeof(QrvRequest));
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (!request) return NULL;
  RtlZeroMemory(request, sizeof(*request));
  request->code = code;
  request->input = irp->AssociatedIrp.SystemBuffer;
  request->inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request->output = OutputOf(irp, code);
  request->outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request->owner = stack->FileObject;
  request->context = irp;
  return request;
}

typedef void (*ModelStep)(QrvModel*, const void*, QrvRequest**);

/* Runs one step of the model under the lock, then completes the requests it
 * finished. */
static void RunLocked(ModelStep step, const void* argument) {
  QrvRequest* done = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  step(g_model, argument, &done);
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
}

static void RunDelayedStep(QrvModel* model, const void* ticket, QrvRequest** done) {
  QrvModelRunDelayed(model, *(const uint32_t*)ticket, done);
}

static void ShutdownStep(QrvModel* model, const void* unused, QrvRequest** done) {
  (void)unused;
  QrvModelShutdown(model, done);
}

/* Runs the request held back under `ticket`, unless it was cancelled. */
static void RunHeldRequest(uint32_t ticket) { RunLocked(RunDelayedStep, &ticket); }

static VOID NTAPI DelayedRunRoutine(PDEVICE_OBJECT device, PVOID context) {
  DelayedRun* run = (DelayedRun*)context;
  LARGE_INTEGER timeout;
  KIRQL irql;
  (void)device;
  timeout.QuadPart = -10000LL * run->delayMs; /* relative, in 100 ns units */
  KeWaitForSingleObject(&g_stopping, Executive, KernelMode, FALSE, &timeout);
  RunHeldRequest(run->ticket);
  IoFreeWorkItem(run->item);
  Release(run);
  KeAcquireSpinLock(&g_lock, &irql);
  if (--g_delaysOutstanding == 0) KeSetEvent(&g_delaysIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&g_lock, irql);
}

/* A delay that cannot be scheduled ends at once: the request runs now. */
static void RunLater(PDEVICE_OBJECT device, uint32_t ticket, uint32_t delayMs) {
  DelayedRun* run = (DelayedRun*)Allocate(sizeof(DelayedRun));
  KIRQL irql;
  if (run) run->item = IoAllocateWorkItem(device);
  if (!run || !run->item) {
    if (run) Release(run);
    RunHeldRequest(ticket);
    return;
  }
  run->ticket = ticket;
  run->delayMs = delayMs;
  KeAcquireSpinLock(&g_lock, &irql);
  if (g_delaysOutstanding++ == 0) KeClearEvent(&g_delaysIdle);
  KeReleaseSpinLock(&g_lock, irql);
  IoQueueWorkItem(run->item, DelayedRunRoutine, DelayedWorkQueue, run);
}

typedef uint32_t (*Dispatcher)(QrvModel*, QrvRequest*, QrvRequest**);

static NTSTATUS Handle(PDEVICE_OBJECT device, PIRP irp, Dispatcher dispatch) {
  QrvRequest* request = NewRequest(irp);
  QrvRequest* done = NULL;
  BOOLEAN cancelled = FALSE, delayed;
  uint32_t status, ticket, delayMs;
  KIRQL irql;
  if (!request) {
    CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeAcquireSpinLock(&g_lock, &irql);
  status = dispatch(g_model, request, &done);
  if (status == QRV_STATUS_PENDING) cancelled = MarkPending(irp, request, &done);
  /* Read under the lock: once it is released the request may be gone. */
  delayed = status == QRV_STATUS_PENDING && request->place == QRV_PENDING_DELAYED;
  ticket = request->ticket;
  delayMs = request->delayMs;
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
  if (delayed) RunLater(device, ticket, delayMs);
  if (status == QRV_STATUS_PENDING && !cancelled) return STATUS_PENDING;
  CompleteIrp(irp, cancelled ? STATUS_CANCELLED : (NTSTATUS)request->status,
              cancelled ? 0 : request->information);
  Release(request);
  return cancelled ? STATUS_PENDING : (NTSTATUS)status;
}

NTSTATUS QrvGlueProtocolRequest(PDEVICE_OBJECT device, PIRP irp) {
  return Handle(device, irp, QrvModelDispatchProtocol);
}

NTSTATUS QrvGlueControlRequest(PDEVICE_OBJECT device, PIRP irp) {
  return Handle(device, irp, QrvModelDispatchControl);
}

void QrvGlueHandleClosed(PFILE_OBJECT file) { RunLocked(QrvModelCloseOwner, file); }

NTSTATUS QrvGlueStart(void) {
  QrvModelOps ops;
  ops.allocate = Allocate;
  ops.release = Release;
  ops.claim = Claim;
  ops.nowMs = NowMs;
  KeInitializeSpinLock(&g_lock);
  KeInitializeEvent(&g_stopping, NotificationEvent, FALSE);
  KeInitializeEvent(&g_delaysIdle, NotificationEvent, TRUE);
  g_model = QrvModelCreate(&ops);
  return g_model ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void QrvGlueFinishPending(void) { RunLocked(ShutdownStep, NULL); }

void QrvGlueStop(void) {
  KeSetEvent(&g_stopping, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&g_delaysIdle, Executive, KernelMode, FALSE, NULL);
  QrvGlueFinishPending();
  QrvModelDestroy(g_model);
  g_model = NULL;
}
