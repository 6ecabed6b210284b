#include "usb_test_driver.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <cstdio>

#include "test_irps.h"

namespace usb_test_driver {

namespace {

using testing_support::CompleteIrp;
using testing_support::ForwardAndWait;

Record record;

void Note(std::string event) { record.events.push_back(std::move(event)); }

struct Extension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  USBD_PIPE_HANDLE out;
  UNICODE_STRING link;
};

NTSTATUS SubmitUrb(Extension* extension, PURB urb) {
  return testing_support::SubmitUrbAndWait(extension->lower, urb);
}

NTSTATUS Configure(Extension* extension) {
  URB urb = {};
  USB_DEVICE_DESCRIPTOR device = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device),
                               nullptr);
  NTSTATUS status = SubmitUrb(extension, &urb);
  if (!NT_SUCCESS(status)) return status;
  UCHAR configuration[64] = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, nullptr,
                               sizeof(configuration), nullptr);
  status = SubmitUrb(extension, &urb);
  if (!NT_SUCCESS(status)) return status;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  if (list[0].InterfaceDescriptor == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  PURB select = USBD_CreateConfigurationRequestEx(config, list);
  if (select == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PUSBD_INTERFACE_INFORMATION interface = list[0].Interface;
  for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
    interface->Pipes[i].MaximumTransferSize = 4096;
  }
  status = SubmitUrb(extension, select);
  if (NT_SUCCESS(status)) {
    for (ULONG i = 0; i < interface->NumberOfPipes; ++i) {
      if ((interface->Pipes[i].EndpointAddress & 0x80) == 0 && extension->out == nullptr) {
        extension->out = interface->Pipes[i].PipeHandle;
      }
    }
    char text[64];
    std::snprintf(text, sizeof text, "configured PID_%04X pipes %lu", device.idProduct,
                  static_cast<unsigned long>(interface->NumberOfPipes));
    Note(text);
  }
  ExFreePool(select);
  return status;
}

NTSTATUS Deconfigure(Extension* extension) {
  struct _URB_SELECT_CONFIGURATION urb = {};
  urb.Hdr.Length = sizeof(urb);
  urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  extension->out = nullptr;
  return SubmitUrb(extension, reinterpret_cast<PURB>(&urb));
}

NTSTATUS PassDown(Extension* extension, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(extension->lower, irp);
      if (NT_SUCCESS(status)) status = Configure(extension);
      return CompleteIrp(irp, status);
    }
    case IRP_MN_STOP_DEVICE:
      Note("IRP_MN_STOP_DEVICE");
      Deconfigure(extension);
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(extension, irp);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(extension, irp);
    case IRP_MN_REMOVE_DEVICE: {
      Note("IRP_MN_REMOVE_DEVICE");
      irp->IoStatus.Status = STATUS_SUCCESS;
      const NTSTATUS status = PassDown(extension, irp);
      IoDeleteSymbolicLink(&extension->link);
      IoDetachDevice(extension->lower);
      IoDeleteDevice(device);
      return status;
    }
    default:
      return PassDown(extension, irp);
  }
}

VOID NTAPI OnDevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE state, PVOID,
                             PIO_STATUS_BLOCK ioStatus) {
  Note("device D" + std::to_string(int(state.DeviceState) - 1) +
       (NT_SUCCESS(ioStatus->Status) ? " done" : " failed"));
}

// Once the system state has reached the bus, the device follows it.
NTSTATUS NTAPI OnSystemPowerDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    const SYSTEM_POWER_STATE system =
        IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    POWER_STATE wanted;
    wanted.DeviceState = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    PoRequestPowerIrp(device, IRP_MN_SET_POWER, wanted, OnDevicePowerDone, nullptr, nullptr);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PoStartNextPowerIrp(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == SystemPowerState) {
      Note("system S" + std::to_string(int(stack->Parameters.Power.State.SystemState) - 1));
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, OnSystemPowerDone, nullptr, TRUE, FALSE, FALSE);
      return PoCallDriver(extension->lower, irp);
    }
    Note("device D" + std::to_string(int(stack->Parameters.Power.State.DeviceState) - 1));
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP irp) {
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_USBTEST_WRITE) {
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  if (extension->out == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_STATE);
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         extension->out, irp->AssociatedIrp.SystemBuffer, nullptr,
                                         stack->Parameters.DeviceIoControl.InputBufferLength,
                                         USBD_SHORT_TRANSFER_OK, nullptr);
  return CompleteIrp(irp, SubmitUrb(extension, &urb));
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  Note("AddDevice");
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\UsbTest");
  PDEVICE_OBJECT device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  extension->self = device;
  extension->out = nullptr;
  RtlInitUnicodeString(&extension->link, L"\\DosDevices\\USBTEST");
  status = IoCreateSymbolicLink(&extension->link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) { Note("DriverUnload"); }

}  // namespace

Record& Seen() { return record; }
void Reset() { record = {}; }

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  Note("DriverEntry");
  driver->DriverUnload = Unload;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  return STATUS_SUCCESS;
}

}  // namespace usb_test_driver
