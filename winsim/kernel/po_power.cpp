// winsim: power manager basics and the WDM version query.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

void ScriptPowerRequestFailure(NTSTATUS status, int count) {
  State().powerFailure = status;
  State().powerFailureCount = NT_SUCCESS(status) ? 0 : count;
}

}  // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

extern "C" {

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  switch (winsim::Machine::Current().Config().os) {
    case winsim::OsFamily::Windows98:
      return MajorVersion == 1 && MinorVersion == 0x00;
    case winsim::OsFamily::Windows2000:
      return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= 0x10);
    case winsim::OsFamily::WindowsNt:
      // Windows XP: WDM 1.0 (98), 1.10 (2000/Me), 1.20 (XP) and 1.30.
      return MajorVersion < 1 || (MajorVersion == 1 && MinorVersion <= 0x30);
    case winsim::OsFamily::NoWdm:
      return FALSE;
  }
  return FALSE;
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(),
                    "power IRP sent above PASSIVE_LEVEL to a DO_POWER_PAGABLE device");
  }
  return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP) {
  // Power IRPs are not queued per device here, so there is nothing to start.
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
  KernelState& state = State();
  if (state.powerFailureCount > 0) {
    --state.powerFailureCount;
    return state.powerFailure;
  }
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  PIRP irp = AllocateIoManagerIrp(top->StackSize, [=](PIRP done) {
    IO_STATUS_BLOCK status = done->IoStatus;
    if (CompletionFunction) {
      RoutineScope scope(DeviceObject->DriverObject, "power completion function");
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
    }
    FreeIoManagerIrp(done);
  });
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = PowerState;
  if (Irp) *Irp = irp;
  Log().Add(winsim::EventKind::Pnp,
            "PoRequestPowerIrp D" + std::to_string(int(PowerState.DeviceState) - 1));
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) {
  return State;
}

}  // extern "C"
