#include "test_drivers.h"

#include "kernel/kernel.h"
#include "test_irps.h"

namespace test_drivers {

EchoConfig echoConfig;

namespace {

PDEVICE_OBJECT busPdo = nullptr;
std::vector<UCHAR> busRequests;
std::vector<BusAnswer> busScript;
PVOID echoDriverBlock = nullptr;
constexpr ULONG kEchoTag = 'ohcE';

struct EchoExtension {
  PDEVICE_OBJECT lower;
  IO_REMOVE_LOCK removeLock;
  UNICODE_STRING link;
};

using testing_support::CompleteIrp;

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  busRequests.push_back(stack->MajorFunction);
  if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_BUS_ASYNC) {
    IoMarkIrpPending(irp);
    winsim::kernel::QueueDpc("bus completion", [irp] { CompleteIrp(irp, STATUS_SUCCESS, 7); });
    return STATUS_PENDING;
  }
  if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_BUS_SCRIPTED && !busScript.empty()) {
    const BusAnswer answer = busScript.front();
    busScript.erase(busScript.begin());
    switch (answer) {
      case BusAnswer::CompleteInline:
        return CompleteIrp(irp, STATUS_SUCCESS, 7);
      case BusAnswer::CompleteLater:
        IoMarkIrpPending(irp);
        winsim::kernel::QueueDpc("bus completion", [irp] { CompleteIrp(irp, STATUS_SUCCESS, 7); });
        return STATUS_PENDING;
      case BusAnswer::ReturnOtherStatus:
        CompleteIrp(irp, STATUS_SUCCESS, 7);
        return STATUS_UNSUCCESSFUL;
      case BusAnswer::MarkAndComplete:
        IoMarkIrpPending(irp);
        return CompleteIrp(irp, STATUS_SUCCESS, 7);
      case BusAnswer::PendingUnmarked:
        winsim::kernel::QueueDpc("bus completion", [irp] { CompleteIrp(irp, STATUS_SUCCESS, 7); });
        return STATUS_PENDING;
    }
  }
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

}  // namespace

PDEVICE_OBJECT BusPdo() { return busPdo; }
std::vector<UCHAR>& BusRequests() { return busRequests; }
std::vector<BusAnswer>& BusScript() { return busScript; }

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  busRequests.clear();
  busScript.clear();
  for (auto& dispatch : driver->MajorFunction) dispatch = BusDispatch;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\TestBusPdo");
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &busPdo);
  if (NT_SUCCESS(status)) busPdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

namespace {

const Fault& fault = echoConfig.fault;

NTSTATUS NTAPI EchoCreate(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<EchoExtension*>(device->DeviceExtension);
  NTSTATUS status =
      IoAcquireRemoveLockEx(&extension->removeLock, IoGetCurrentIrpStackLocation(irp)->FileObject,
                            "echo", __LINE__, sizeof(IO_REMOVE_LOCK));
  return CompleteIrp(irp, status, 0);
}

NTSTATUS NTAPI EchoClose(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<EchoExtension*>(device->DeviceExtension);
  PVOID tag = fault == Fault::ReleaseUnmatchedLock ? static_cast<PVOID>(irp)
                                                   : IoGetCurrentIrpStackLocation(irp)->FileObject;
  IoReleaseRemoveLockEx(&extension->removeLock, tag, sizeof(IO_REMOVE_LOCK));
  return CompleteIrp(irp, STATUS_SUCCESS, 0);
}

struct ForwardContext {
  KEVENT done;
  int piecesLeft;
  PDEVICE_OBJECT lower;
  ULONG_PTR moved;
  ULONG busCode;
};

NTSTATUS NTAPI OnForwardComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* forward = static_cast<ForwardContext*>(context);
  forward->moved += irp->IoStatus.Information;
  if (fault == Fault::DriverIrpCompleted) {
    KeSetEvent(&forward->done, 0, FALSE);
    return STATUS_SUCCESS;
  }
  if (NT_SUCCESS(irp->IoStatus.Status) && --forward->piecesLeft > 0) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = forward->busCode;
    IoSetCompletionRoutine(irp, OnForwardComplete, forward, TRUE, TRUE, TRUE);
    IoCallDriver(forward->lower, irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  KeSetEvent(&forward->done, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Forward(EchoExtension* extension, PIRP request, ULONG busCode) {
  PIRP irp = IoAllocateIrp(extension->lower->StackSize, FALSE);
  if (!irp) return CompleteIrp(request, STATUS_INSUFFICIENT_RESOURCES, 0);
  ForwardContext forward;
  KeInitializeEvent(&forward.done, NotificationEvent, FALSE);
  forward.piecesLeft = 2;
  forward.lower = extension->lower;
  forward.moved = 0;
  forward.busCode = busCode;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = busCode;
  IoSetCompletionRoutine(irp, OnForwardComplete, &forward, TRUE, TRUE, TRUE);
  IoCallDriver(extension->lower, irp);
  // The bus completes on its DPC thread: the first piece is still below here.
  if (fault == Fault::ResendInFlight) IoCallDriver(extension->lower, irp);
  if (fault == Fault::FreeIrpBelow) IoFreeIrp(irp);
  KeWaitForSingleObject(&forward.done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  // Two pieces of 7 bytes each must have moved.
  if (NT_SUCCESS(status) && forward.moved != 14) status = STATUS_UNSUCCESSFUL;
  if (fault != Fault::LeakIrp) IoFreeIrp(irp);
  if (fault == Fault::FreeIrpTwice) IoFreeIrp(irp);
  return CompleteIrp(request, status, 0);
}

NTSTATUS NTAPI EchoDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<EchoExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_ECHO_FORWARD:
      return Forward(extension, irp, IOCTL_BUS_ASYNC);
    case IOCTL_ECHO_FORWARD_SCRIPTED:
      return Forward(extension, irp, IOCTL_BUS_SCRIPTED);
    default:
      break;
  }
  // IOCTL_ECHO_SYNC, with the deliberate faults.
  ULONG_PTR information = inputLength < outputLength ? inputLength : outputLength;
  switch (fault) {
    case Fault::OverrunPool: {
      auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 8, kEchoTag));
      memset(block, 0, 9);
      ExFreePool(block);
      break;
    }
    case Fault::DoubleFreePool: {
      PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kEchoTag);
      ExFreePool(block);
      ExFreePool(block);
      break;
    }
    case Fault::WaitAtDispatch: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      LARGE_INTEGER timeout;
      timeout.QuadPart = -10000;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
      KeLowerIrql(old);
      break;
    }
    case Fault::DebugBreak:
      DbgBreakPoint();
      break;
    case Fault::PagedPoolAtDispatch: {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      PVOID block = ExAllocatePoolWithTag(PagedPool, 8, kEchoTag);
      KeLowerIrql(old);
      ExFreePool(block);
      break;
    }
    case Fault::LeakMdl:
      IoAllocateMdl(irp->AssociatedIrp.SystemBuffer, outputLength, FALSE, FALSE, nullptr);
      break;
    case Fault::FreeIoManagerIrp:
      IoFreeIrp(irp);
      break;
    case Fault::CompleteWithPending:
      IoMarkIrpPending(irp);
      CompleteIrp(irp, STATUS_PENDING, 0);
      return STATUS_PENDING;
    case Fault::InformationTooLarge:
      information = outputLength + 10;
      break;
    case Fault::MarkedNotPending:
      IoMarkIrpPending(irp);
      break;
    default:
      break;
  }
  const NTSTATUS status = CompleteIrp(irp, STATUS_SUCCESS, information);
  if (fault == Fault::CompleteTwice) IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (fault == Fault::StatusMismatch) return STATUS_UNSUCCESSFUL;
  if (fault == Fault::PendingNotMarked) return STATUS_PENDING;
  return status;
}

NTSTATUS NTAPI EchoAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Echo");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(EchoExtension), &name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<EchoExtension*>(device->DeviceExtension);
  device->Flags |= DO_BUFFERED_IO;
  extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
  RtlInitUnicodeString(&extension->link, L"\\DosDevices\\ECHO");
  IoCreateSymbolicLink(&extension->link, &name);
  IoInitializeRemoveLockEx(&extension->removeLock, 'ohcE', 0, 100, sizeof(IO_REMOVE_LOCK));
  if (fault != Fault::KeepInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI EchoUnload(PDRIVER_OBJECT) {
  if (fault != Fault::LeakPool) ExFreePool(echoDriverBlock);
  echoDriverBlock = nullptr;
}

}  // namespace

NTSTATUS NTAPI EchoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  echoDriverBlock = fault == Fault::UntaggedPool
                        ? ExAllocatePool(PagedPool, registryPath->Length)
                        : ExAllocatePoolWithTag(PagedPool, registryPath->Length, kEchoTag);
  if (!echoDriverBlock) return STATUS_INSUFFICIENT_RESOURCES;
  driver->DriverUnload = EchoUnload;
  driver->DriverExtension->AddDevice = EchoAddDevice;
  driver->MajorFunction[IRP_MJ_CREATE] = EchoCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = EchoClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EchoDeviceControl;
  return STATUS_SUCCESS;
}

void RemoveEchoDevice(PDRIVER_OBJECT echo) {
  winsim::kernel::RoutineScope scope(echo, "RemoveDevice");
  PDEVICE_OBJECT device = echo->DeviceObject;
  auto* extension = static_cast<EchoExtension*>(device->DeviceExtension);
  IoDetachDevice(extension->lower);
  IoDeleteSymbolicLink(&extension->link);
  if (fault != Fault::KeepDevice) IoDeleteDevice(device);
  if (fault == Fault::DeleteTwice) IoDeleteDevice(device);
}

namespace {

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI SkipFilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<FilterExtension*>(device->DeviceExtension)->lower;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS NTAPI SkipFilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<FilterExtension*>(device->DeviceExtension)->lower =
      IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI SkipFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = SkipFilterDispatch;
  driver->DriverExtension->AddDevice = SkipFilterAddDevice;
  return STATUS_SUCCESS;
}

void RemoveSkipFilterDevice(PDRIVER_OBJECT filter) {
  winsim::kernel::RoutineScope scope(filter, "RemoveDevice");
  PDEVICE_OBJECT device = filter->DeviceObject;
  IoDetachDevice(static_cast<FilterExtension*>(device->DeviceExtension)->lower);
  IoDeleteDevice(device);
}

}  // namespace test_drivers
