/*
 * Kernel glue between IRPs and the port model: one spin lock guards the
 * model; requests are completed outside it; pending requests carry a cancel
 * routine so that none stays pending forever; a request the model holds back
 * is run by a work item once its delay has passed.
 */
#ifndef QRV_SIM_KERNEL_REQUEST_GLUE_H_
#define QRV_SIM_KERNEL_REQUEST_GLUE_H_

#include <ntddk.h>

/* Creates the model. Called once from DriverEntry. */
NTSTATUS QrvGlueStart(void);
/* Finishes every pending request as cancelled and frees every port. */
void QrvGlueFinishPending(void);
/* Ends the delays early and waits for their work items, then finishes what
 * is still pending and frees the model. Called from unload, after the
 * devices can take no more requests. */
void QrvGlueStop(void);

/* IRP_MJ_DEVICE_CONTROL of the protocol and control devices. */
NTSTATUS QrvGlueProtocolRequest(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS QrvGlueControlRequest(PDEVICE_OBJECT device, PIRP irp);
/* IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the handle's ports and pending requests
 * go away. Wine sends no IRP_MJ_CLEANUP, so IRP_MJ_CLOSE does it too. */
void QrvGlueHandleClosed(PFILE_OBJECT file);

#endif /* QRV_SIM_KERNEL_REQUEST_GLUE_H_ */
