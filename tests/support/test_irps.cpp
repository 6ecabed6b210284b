#include "test_irps.h"

#include <usbioctl.h>

namespace testing_support {

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Information = information;
  return CompleteIrp(irp, status);
}

namespace {

NTSTATUS NTAPI SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT target, PVOID urb, bool* pended) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus = {};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, target, nullptr, 0,
                                           nullptr, 0, TRUE, &done, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  NTSTATUS status = IoCallDriver(target, irp);
  if (pended != nullptr) *pended = status == STATUS_PENDING;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, WCHAR* name, WCHAR* link,
                           PDEVICE_OBJECT* device) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  NTSTATUS status = IoCreateDevice(driver, 0, &deviceName, FILE_DEVICE_USB, 0, FALSE, device);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, link);
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

void CopyToWide(const std::string& text, WCHAR* buffer) {
  for (size_t i = 0; i <= text.size(); ++i) buffer[i] = WCHAR(text[i]);
}

}  // namespace testing_support
