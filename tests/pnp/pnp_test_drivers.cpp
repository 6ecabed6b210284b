#include "pnp_test_drivers.h"

#include <cstdio>
#include <string>

#include "kernel/kernel.h"
#include "machine/verifier.h"

namespace pnp_test_drivers {

FunctionConfig functionConfig;

namespace {

std::map<PDEVICE_OBJECT, PdoRecord> pdos;
FunctionRecord function;

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::string PowerName(PIO_STACK_LOCATION stack) {
  const POWER_STATE state = stack->Parameters.Power.State;
  const std::string minor = stack->MinorFunction == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER "
                            : stack->MinorFunction == IRP_MN_QUERY_POWER
                                ? "IRP_MN_QUERY_POWER "
                                : "IRP_MN_POWER_" + std::to_string(stack->MinorFunction) + " ";
  return minor + (stack->Parameters.Power.Type == SystemPowerState
                      ? "S" + std::to_string(int(state.SystemState) - 1)
                      : "D" + std::to_string(int(state.DeviceState) - 1));
}

std::string RequestName(PIO_STACK_LOCATION stack) {
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return winsim::kernel::PnpMinorName(stack->MinorFunction);
    case IRP_MJ_POWER:
      return PowerName(stack);
    default:
      return winsim::kernel::MajorName(stack->MajorFunction);
  }
}

// ---------------------------------------------------------------- bus

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PdoRecord& record = pdos[device];
  record.requests.push_back(RequestName(stack));
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_SUCCESS);
  }
  if (stack->MajorFunction != IRP_MJ_PNP) return Complete(irp, STATUS_SUCCESS);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      record.capabilitiesSize = capabilities->Size;
      record.capabilitiesVersion = capabilities->Version;
      record.surpriseRemovalOk = capabilities->SurpriseRemovalOK;
      capabilities->Removable = TRUE;
      return Complete(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      // A PDO whose device is still on the bus stays; one that left goes.
      const bool gone = record.gone;
      Complete(irp, STATUS_SUCCESS);
      if (gone) {
        record.deleted = true;
        IoDeleteDevice(device);
      }
      return STATUS_SUCCESS;
    }
    default: {
      // Requests a bus does not handle keep their status.
      const NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
}

// ---------------------------------------------------------------- function driver

constexpr ULONG kBlockTag = winsim::PoolTag("Fnst");

struct FunctionExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  int number;
  PVOID block;  // freed at removal
  DEVICE_POWER_STATE power;
  bool removed;
  WCHAR linkText[32];
  UNICODE_STRING link;
};

FunctionExtension* Extension(PDEVICE_OBJECT device) {
  return static_cast<FunctionExtension*>(device->DeviceExtension);
}

void Note(FunctionExtension* extension, std::string what) {
  function.deviceRequests[extension->number].push_back(std::move(what));
}

NTSTATUS NTAPI OnForwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for it; the caller completes it.
NTSTATUS ForwardAndWait(FunctionExtension* extension, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, SynchronizationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, OnForwarded, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(extension->lower, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  return irp->IoStatus.Status;
}

void TearDown(FunctionExtension* extension) {
  extension->removed = true;
  IoDeleteSymbolicLink(&extension->link);
  if (!functionConfig.leakPool) ExFreePoolWithTag(extension->block, kBlockTag);
  IoDetachDevice(extension->lower);
  IoDeleteDevice(extension->self);
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT device, PIRP irp) {
  FunctionExtension* extension = Extension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Note(extension, RequestName(stack));
  NTSTATUS status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(extension, irp);
      if (functionConfig.startMilliseconds > 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000LL * functionConfig.startMilliseconds;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
      }
      if (NT_SUCCESS(status) && functionConfig.failStart)
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
      return Complete(irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (functionConfig.vetoQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
      return Complete(irp, ForwardAndWait(extension, irp));
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (functionConfig.vetoQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      return Complete(irp, ForwardAndWait(extension, irp));
    case IRP_MN_QUERY_CAPABILITIES:
      stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
      return Complete(irp, ForwardAndWait(extension, irp));
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
      // As quillfw: the device object goes at surprise removal already.
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = Complete(irp, ForwardAndWait(extension, irp));
      TearDown(extension);
      return status;
    default:
      return Complete(irp, ForwardAndWait(extension, irp));
  }
}

VOID NTAPI OnDevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                             PIO_STATUS_BLOCK status) {
  auto* systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  Complete(systemIrp, status->Status);
}

// As quillfw passes power requests down.
NTSTATUS PassPowerDown(FunctionExtension* extension, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoStartNextPowerIrp(irp);
  return PoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
  FunctionExtension* extension = Extension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Note(extension, RequestName(stack));
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && functionConfig.vetoQueryPower) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_UNSUCCESSFUL);
  }
  if (stack->MinorFunction != IRP_MN_SET_POWER) return PassPowerDown(extension, irp);
  if (stack->Parameters.Power.Type == SystemPowerState && functionConfig.failSystemSetPower) {
    PoStartNextPowerIrp(irp);
    return Complete(irp, STATUS_UNSUCCESSFUL);
  }
  if (stack->Parameters.Power.Type == DevicePowerState) {
    extension->power = stack->Parameters.Power.State.DeviceState;
    return PassPowerDown(extension, irp);
  }
  POWER_STATE wanted;
  wanted.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                           ? PowerDeviceD0
                           : PowerDeviceD3;
  if (wanted.DeviceState == extension->power) return PassPowerDown(extension, irp);
  IoMarkIrpPending(irp);
  const NTSTATUS requested = PoRequestPowerIrp(extension->lower, IRP_MN_SET_POWER, wanted,
                                               OnDevicePowerDone, irp, nullptr);
  if (!NT_SUCCESS(requested)) {
    PoStartNextPowerIrp(irp);
    Complete(irp, requested);
  }
  return STATUS_PENDING;
}

NTSTATUS NTAPI FunctionOpenClose(PDEVICE_OBJECT device, PIRP irp) {
  Note(Extension(device), RequestName(IoGetCurrentIrpStackLocation(irp)));
  return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  function.driverEvents.push_back("AddDevice");
  if (functionConfig.failAddDevice) return STATUS_INSUFFICIENT_RESOURCES;
  const int number = function.devicesMade++;
  WCHAR nameText[32];
  const std::string name = "\\Device\\TestFn" + std::to_string(number);
  for (size_t i = 0; i <= name.size(); ++i) nameText[i] = WCHAR(name.c_str()[i]);
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, nameText);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(FunctionExtension), &deviceName,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  FunctionExtension* extension = Extension(device);
  extension->self = device;
  extension->number = number;
  extension->power = PowerDeviceD0;
  extension->block = ExAllocatePoolWithTag(NonPagedPool, 64, kBlockTag);
  extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
  const std::string link = "\\DosDevices\\TESTFN" + std::to_string(number);
  for (size_t i = 0; i <= link.size(); ++i) extension->linkText[i] = WCHAR(link.c_str()[i]);
  RtlInitUnicodeString(&extension->link, extension->linkText);
  IoCreateSymbolicLink(&extension->link, &deviceName);
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI FunctionUnload(PDRIVER_OBJECT) { function.driverEvents.push_back("DriverUnload"); }

}  // namespace

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = BusDispatch;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT MakePdo(PDRIVER_OBJECT bus, int index) {
  WCHAR nameText[32];
  const std::string name = "\\Device\\TestPdo" + std::to_string(index);
  for (size_t i = 0; i <= name.size(); ++i) nameText[i] = WCHAR(name.c_str()[i]);
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, nameText);
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(bus, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo))) {
    return nullptr;
  }
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdos[pdo] = PdoRecord{};
  return pdo;
}

PdoRecord& Pdo(PDEVICE_OBJECT pdo) { return pdos[pdo]; }

void DeleteRemainingPdos() {
  for (auto& [pdo, record] : pdos) {
    if (!record.deleted) {
      record.deleted = true;
      IoDeleteDevice(pdo);
    }
  }
}

FunctionRecord& Function() { return function; }

NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  function.driverEvents.push_back("DriverEntry");
  driver->DriverUnload = FunctionUnload;
  driver->DriverExtension->AddDevice = FunctionAddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
  driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
  driver->MajorFunction[IRP_MJ_CREATE] = FunctionOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = FunctionOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = FunctionOpenClose;
  return STATUS_SUCCESS;
}

void Reset() {
  pdos.clear();
  function = FunctionRecord{};
  functionConfig = FunctionConfig{};
}

}  // namespace pnp_test_drivers
