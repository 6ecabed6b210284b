#include "hostile_hub.h"

#include <usbioctl.h>

#include <cstring>

#include "test_irps.h"

namespace apptest {

HostileHubScript g_hostileHub;

namespace {

WCHAR kControllerName[] = L"\\Device\\HostileHcd";
WCHAR kControllerLink[] = L"\\DosDevices\\HCD7";
WCHAR kHubName[] = L"\\Device\\HostileHub";
WCHAR kHubLink[] = L"\\DosDevices\\HOSTILEHUB";
const char kHubSymbolicName[] = "HOSTILEHUB";
const char kDriverKey[] = "{hostile}\\0001";

PDEVICE_OBJECT g_controller = nullptr;
PDEVICE_OBJECT g_hub = nullptr;

using testing_support::CompleteIrp;
using testing_support::CreateNamedDevice;

// Writes a name answer at nameOffset of the buffer; ActualLength sits just
// before the name.
ULONG_PTR AnswerName(BYTE* buffer, ULONG outLength, ULONG nameOffset, NameAnswer answer,
                     const char* name) {
  const ULONG fixed = nameOffset + sizeof(WCHAR);
  ULONG actual = nameOffset + static_cast<ULONG>(std::strlen(name) + 1) * sizeof(WCHAR);
  if (answer == NameAnswer::Short) actual = fixed;
  if (answer == NameAnswer::Huge) actual = 0xFFFFFFF0;
  if (answer == NameAnswer::Unterminated) actual = outLength | 1;
  if (outLength >= nameOffset) std::memcpy(buffer + nameOffset - sizeof(ULONG), &actual, 4);
  for (ULONG at = nameOffset, i = 0; at + 1 < outLength; at += 2, ++i) {
    WCHAR c = 0;
    if (answer == NameAnswer::Unterminated) {
      c = 'A';
    } else if (i < std::strlen(name)) {
      c = static_cast<WCHAR>(name[i]);
    }
    std::memcpy(buffer + at, &c, sizeof(c));
  }
  if (answer == NameAnswer::Unterminated && outLength > nameOffset && (outLength & 1)) {
    buffer[outLength - 1] = 'A';
  }
  return outLength;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
  if (device == g_hub && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) {
    ++g_hostileHub.hubOpens;
  }
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  BYTE* buffer = static_cast<BYTE*>(irp->AssociatedIrp.SystemBuffer);
  ULONG port = 0;
  if (inLength >= sizeof(ULONG)) std::memcpy(&port, buffer, sizeof(port));
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (device == g_controller) {
    if (code == IOCTL_USB_GET_ROOT_HUB_NAME && outLength >= 6) {
      return CompleteIrp(
          irp, STATUS_SUCCESS,
          AnswerName(buffer, outLength, 4, g_hostileHub.rootHubName, kHubSymbolicName));
    }
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);  // no driver key either
  }
  switch (code) {
    case IOCTL_USB_GET_NODE_INFORMATION:
      if (outLength < 76) break;
      std::memset(buffer, 0, outLength);
      buffer[6] = 2;  // bNumberOfPorts
      return CompleteIrp(irp, STATUS_SUCCESS, 76);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      if (outLength < 35 || (port != 1 && port != 2)) break;
      std::memset(buffer + 4, 0, outLength - 4);
      buffer[24] = port == 1;  // DeviceIsHub
      buffer[31] = 1;          // DeviceConnected
      return CompleteIrp(irp, STATUS_SUCCESS, 35);
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      if (outLength < 10 || port != 1) break;
      return CompleteIrp(
          irp, STATUS_SUCCESS,
          AnswerName(buffer, outLength, 8, g_hostileHub.portHubName, kHubSymbolicName));
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      if (outLength < 10 || port != 2) break;
      return CompleteIrp(irp, STATUS_SUCCESS,
                         AnswerName(buffer, outLength, 8, g_hostileHub.driverKeyName, kDriverKey));
    default:
      break;
  }
  return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, kControllerLink);
  IoDeleteSymbolicLink(&link);
  RtlInitUnicodeString(&link, kHubLink);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(g_hub);
  IoDeleteDevice(g_controller);
  g_hub = nullptr;
  g_controller = nullptr;
}

}  // namespace

NTSTATUS NTAPI HostileHubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = Unload;
  NTSTATUS status = CreateNamedDevice(driver, kControllerName, kControllerLink, &g_controller);
  if (NT_SUCCESS(status)) status = CreateNamedDevice(driver, kHubName, kHubLink, &g_hub);
  return status;
}

}  // namespace apptest
