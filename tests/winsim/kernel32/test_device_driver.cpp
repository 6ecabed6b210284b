#include "test_device_driver.h"

#include "test_irps.h"

namespace k32test {

Counters g_counters;

namespace {

WCHAR kDeviceName[] = L"\\Device\\K32TEST";
WCHAR kLinkName[] = L"\\DosDevices\\K32TEST";

using testing_support::CompleteIrp;

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  if (major == IRP_MJ_CREATE) {
    ++g_counters.creates;
  } else if (major == IRP_MJ_CLOSE) {
    ++g_counters.closes;
  }
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp) {
  ++g_counters.controls;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kIoctlEcho:
      // METHOD_BUFFERED: the input is already in the system buffer.
      return CompleteIrp(irp, STATUS_SUCCESS, inLength < outLength ? inLength : outLength);
    case kIoctlComplete: {
      if (inLength < sizeof(NTSTATUS)) {
        return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
      }
      NTSTATUS status;
      RtlCopyMemory(&status, irp->AssociatedIrp.SystemBuffer, sizeof(status));
      if (outLength > inLength) {
        RtlZeroMemory((PUCHAR)irp->AssociatedIrp.SystemBuffer + inLength, outLength - inLength);
      }
      return CompleteIrp(irp, status, NT_ERROR(status) ? 0 : outLength);
    }
    case kIoctlClaimUnwritten:
      return CompleteIrp(irp, STATUS_SUCCESS, outLength);
    default:
      return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID NTAPI Unload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kLinkName);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_counters = {};
  UNICODE_STRING device;
  UNICODE_STRING link;
  RtlInitUnicodeString(&device, kDeviceName);
  RtlInitUnicodeString(&link, kLinkName);
  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status =
      IoCreateDevice(driver, 0, &device, FILE_DEVICE_UNKNOWN, 0, FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = IoCreateSymbolicLink(&link, &device);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(deviceObject);
    return status;
  }
  deviceObject->Flags |= DO_BUFFERED_IO;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

}  // namespace k32test
