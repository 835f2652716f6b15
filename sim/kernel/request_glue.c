#include "request_glue.h"

#include "port_model.h"

#define QRV_POOL_TAG 0x76725151 /* 'QQrv' */

static KSPIN_LOCK g_lock;
static QrvModel* g_model; /* guarded by g_lock */

static void* Allocate(uint32_t size) {
  return ExAllocatePoolWithTag(NonPagedPool, size, QRV_POOL_TAG);
}

static void Release(void* block) { ExFreePoolWithTag(block, QRV_POOL_TAG); }

/* A pending IRP belongs to whoever clears its cancel routine first: the
 * model (to finish it) or the I/O manager (to cancel it). */
static int Claim(QrvRequest* request) {
  return IoSetCancelRoutine((PIRP)request->context, NULL) != NULL;
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

typedef uint32_t (*Dispatcher)(QrvModel*, QrvRequest*, QrvRequest**);

static NTSTATUS Handle(PIRP irp, Dispatcher dispatch) {
  QrvRequest* request = NewRequest(irp);
  QrvRequest* done = NULL;
  BOOLEAN cancelled = FALSE;
  uint32_t status;
  KIRQL irql;
  if (!request) {
    CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeAcquireSpinLock(&g_lock, &irql);
  status = dispatch(g_model, request, &done);
  if (status == QRV_STATUS_PENDING) cancelled = MarkPending(irp, request, &done);
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
  if (status == QRV_STATUS_PENDING && !cancelled) return STATUS_PENDING;
  CompleteIrp(irp, cancelled ? STATUS_CANCELLED : (NTSTATUS)request->status,
              cancelled ? 0 : request->information);
  Release(request);
  return cancelled ? STATUS_PENDING : (NTSTATUS)status;
}

NTSTATUS QrvGlueProtocolRequest(PIRP irp) { return Handle(irp, QrvModelDispatchProtocol); }

NTSTATUS QrvGlueControlRequest(PIRP irp) { return Handle(irp, QrvModelDispatchControl); }

void QrvGlueHandleClosed(PFILE_OBJECT file) {
  QrvRequest* done = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  QrvModelCloseOwner(g_model, file, &done);
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
}

NTSTATUS QrvGlueStart(void) {
  QrvModelOps ops;
  ops.allocate = Allocate;
  ops.release = Release;
  ops.claim = Claim;
  KeInitializeSpinLock(&g_lock);
  g_model = QrvModelCreate(&ops);
  return g_model ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void QrvGlueFinishPending(void) {
  QrvRequest* done = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&g_lock, &irql);
  QrvModelShutdown(g_model, &done);
  KeReleaseSpinLock(&g_lock, irql);
  CompleteDone(done);
}

void QrvGlueStop(void) {
  QrvGlueFinishPending();
  QrvModelDestroy(g_model);
  g_model = NULL;
}
