/* Driver entry and unload: the protocol device \Device\QRVDev and the
 * control device \Device\QRVCtl, each with its DOS link. */
#include <ntddk.h>

#include "request_glue.h"
#include "uc_protocol.h"

#define CONTROL_DEVICE_NAME L"\\Device\\QRVCtl"
#define CONTROL_DEVICE_LINK L"\\DosDevices\\QRVCtl"

static PDEVICE_OBJECT g_protocolDevice;
static PDEVICE_OBJECT g_controlDevice;

static NTSTATUS Finish(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  return Finish(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  (void)device;
  QrvGlueHandleClosed(IoGetCurrentIrpStackLocation(irp)->FileObject);
  return Finish(irp, STATUS_SUCCESS);
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  if (device == g_controlDevice) return QrvGlueControlRequest(device, irp);
  return QrvGlueProtocolRequest(device, irp);
}

static NTSTATUS CreateDevice(PDRIVER_OBJECT driver, PCWSTR name, PCWSTR link,
                             PDEVICE_OBJECT* device) {
  UNICODE_STRING deviceName, linkName;
  NTSTATUS status;
  RtlInitUnicodeString(&deviceName, name);
  RtlInitUnicodeString(&linkName, link);
  status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
  if (!NT_SUCCESS(status)) {
    DbgPrint("qrvdrv: IoCreateDevice(%ls) failed %08lx\n", name, status);
    *device = NULL;
    return status;
  }
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    DbgPrint("qrvdrv: IoCreateSymbolicLink(%ls) failed %08lx\n", link, status);
    IoDeleteDevice(*device);
    *device = NULL;
  }
  return status;
}

static void DeleteDevice(PDEVICE_OBJECT* device, PCWSTR link) {
  UNICODE_STRING linkName;
  if (!*device) return;
  RtlInitUnicodeString(&linkName, link);
  IoDeleteSymbolicLink(&linkName);
  IoDeleteDevice(*device);
  *device = NULL;
}

static void DeleteDevices(void) {
  DeleteDevice(&g_controlDevice, CONTROL_DEVICE_LINK);
  DeleteDevice(&g_protocolDevice, UC_DEVICE_LINK);
}

/* Pending requests are finished as cancelled before the devices go: Wine
 * ends those still pending on a deleted device with STATUS_FILE_DELETED
 * instead. Whatever pends in between is finished by QrvGlueStop. */
static VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  (void)driver;
  QrvGlueFinishPending();
  DeleteDevices();
  QrvGlueStop();
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status;
  (void)registryPath;
  status = QrvGlueStart();
  if (!NT_SUCCESS(status)) return status;
  status = CreateDevice(driver, UC_DEVICE_NAME, UC_DEVICE_LINK, &g_protocolDevice);
  if (NT_SUCCESS(status))
    status = CreateDevice(driver, CONTROL_DEVICE_NAME, CONTROL_DEVICE_LINK, &g_controlDevice);
  if (!NT_SUCCESS(status)) {
    DeleteDevices();
    QrvGlueStop();
    return status;
  }
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
