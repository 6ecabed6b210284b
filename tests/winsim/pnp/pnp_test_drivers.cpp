#include "pnp_test_drivers.h"

#include <cstdio>
#include <string>

#include "kernel/kernel.h"
#include "test_irps.h"

namespace pnp_test_drivers {

FunctionConfig functionConfig;

namespace {

using testing_support::CompleteIrp;
using testing_support::CopyToWide;

std::map<PDEVICE_OBJECT, PdoRecord> pdos;
FunctionRecord function;

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
    return CompleteIrp(irp, STATUS_SUCCESS);
  }
  if (stack->MajorFunction != IRP_MJ_PNP) return CompleteIrp(irp, STATUS_SUCCESS);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES:
      record.capabilitiesSize = stack->Parameters.DeviceCapabilities.Capabilities->Size;
      record.capabilitiesVersion = stack->Parameters.DeviceCapabilities.Capabilities->Version;
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return CompleteIrp(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE: {
      // A PDO whose device is still on the bus stays; one that left goes.
      const bool gone = record.gone;
      CompleteIrp(irp, STATUS_SUCCESS);
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

struct FunctionExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT lower;
  int number;
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

NTSTATUS ForwardAndWait(FunctionExtension* extension, PIRP irp) {
  return testing_support::ForwardAndWait(extension->lower, irp);
}

void TearDown(FunctionExtension* extension) {
  extension->removed = true;
  IoDeleteSymbolicLink(&extension->link);
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
      return CompleteIrp(irp, status);
    case IRP_MN_QUERY_STOP_DEVICE:
      if (functionConfig.vetoQueryStop) return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
      return CompleteIrp(irp, ForwardAndWait(extension, irp));
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (functionConfig.vetoQueryRemove) return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
      return CompleteIrp(irp, ForwardAndWait(extension, irp));
    case IRP_MN_SURPRISE_REMOVAL:
      // The device object stays until IRP_MN_REMOVE_DEVICE.
      irp->IoStatus.Status = STATUS_SUCCESS;
      status = CompleteIrp(irp, ForwardAndWait(extension, irp));
      if (functionConfig.deleteAtSurpriseRemoval) TearDown(extension);
      return status;
    case IRP_MN_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      if (extension->removed) return CompleteIrp(irp, STATUS_SUCCESS);
      status = CompleteIrp(irp, ForwardAndWait(extension, irp));
      TearDown(extension);
      return status;
    default:
      return CompleteIrp(irp, ForwardAndWait(extension, irp));
  }
}

VOID NTAPI OnDevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                             PIO_STATUS_BLOCK status) {
  auto* systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  CompleteIrp(systemIrp, status->Status);
}

// As quillfw passes power requests down.
NTSTATUS PassPowerDown(FunctionExtension* extension, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (!functionConfig.forgetStartNextPowerIrp) PoStartNextPowerIrp(irp);
  return PoCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT device, PIRP irp) {
  FunctionExtension* extension = Extension(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Note(extension, RequestName(stack));
  if (stack->MinorFunction == IRP_MN_QUERY_POWER && functionConfig.vetoQueryPower) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
  }
  if (stack->MinorFunction != IRP_MN_SET_POWER) return PassPowerDown(extension, irp);
  if (stack->Parameters.Power.Type == SystemPowerState && functionConfig.failSystemSetPower) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_UNSUCCESSFUL);
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
    CompleteIrp(irp, requested);
  }
  return STATUS_PENDING;
}

NTSTATUS NTAPI FunctionOpenClose(PDEVICE_OBJECT device, PIRP irp) {
  Note(Extension(device), RequestName(IoGetCurrentIrpStackLocation(irp)));
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  function.driverEvents.push_back("AddDevice");
  if (functionConfig.failAddDevice) return STATUS_INSUFFICIENT_RESOURCES;
  const int number = function.devicesMade++;
  WCHAR nameText[32];
  CopyToWide("\\Device\\TestFn" + std::to_string(number), nameText);
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
  extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
  CopyToWide("\\DosDevices\\TESTFN" + std::to_string(number), extension->linkText);
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
  CopyToWide("\\Device\\TestPdo" + std::to_string(index), nameText);
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
