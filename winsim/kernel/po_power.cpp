// winsim: power manager basics and the WDM version query.
#include <algorithm>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

void ScriptPowerRequestFailure(NTSTATUS status, int count) {
  State().powerFailure = status;
  State().powerFailureCount = NT_SUCCESS(status) ? 0 : count;
}

int SystemSetPowerArrivals(PDEVICE_OBJECT physicalDevice) {
  auto found = State().systemSetPowerAtBus.find(physicalDevice);
  return found == State().systemSetPowerAtBus.end() ? 0 : found->second;
}

namespace {

// The power manager's watchdog: Windows Vista and later bug-check a machine
// whose driver keeps a power IRP longer than this (0x9F, parameter 3: "a
// device object has been blocking an IRP for too long a time"); the
// debugger's description gives ten minutes. Windows 98, 2000 and XP have no
// such watchdog: there the IRP just stays held (a sleep that never ends).
// The finding is made on every family, as the driver would fail on later
// Windows, and the machine goes on.
constexpr VirtualTime kPowerWatchdog = 600'000 * kTicksPerMillisecond;

std::string PowerIrpName(PIO_STACK_LOCATION stack) {
  std::string name = stack->MinorFunction == IRP_MN_SET_POWER     ? "IRP_MN_SET_POWER"
                     : stack->MinorFunction == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER"
                                                                  : "IRP_MN_POWER";
  if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
    return name + " 0x" + Hex(stack->MinorFunction, 2);
  }
  if (stack->Parameters.Power.Type == SystemPowerState) {
    return name + " S" +
           std::to_string(int(stack->Parameters.Power.State.SystemState) - int(PowerSystemWorking));
  }
  return name + " D" +
         std::to_string(int(stack->Parameters.Power.State.DeviceState) - int(PowerDeviceD0));
}

// The driver holding the IRP: the one whose stack location is current, or
// the one whose PoStartNextPowerIrp the IRP waits for.
std::string Holder(PIRP irp) {
  for (const auto& [key, queue] : State().powerQueues) {
    if (std::find(queue.waiting.begin(), queue.waiting.end(), irp) != queue.waiting.end()) {
      return DriverName(key.first->DriverObject) + " (the IRP waits for its PoStartNextPowerIrp)";
    }
  }
  if (irp->CurrentLocation > irp->StackCount) return "winsim";
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->DeviceObject ? DriverName(stack->DeviceObject->DriverObject) : "winsim";
}

void ReportWatchdog(PIRP irp, const KernelState::PowerIrpRecord& record, VirtualTime held) {
  std::string holder = Holder(irp);
  holder = holder.substr(0, holder.find(' '));
  Verify().Report(rule::kPowerIrpWatchdog, holder + "!IRP_MJ_POWER",
                  record.what + " held " + std::to_string(held / (1000 * kTicksPerMillisecond)) +
                      " s (the watchdog allows " +
                      std::to_string(kPowerWatchdog / (1000 * kTicksPerMillisecond)) + " s)");
}

bool Serialised(PIO_STACK_LOCATION stack) {
  return stack->MajorFunction == IRP_MJ_POWER &&
         (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

KernelState::PowerQueue& QueueOf(PDEVICE_OBJECT device, PIO_STACK_LOCATION stack) {
  return State().powerQueues[{device, int(stack->Parameters.Power.Type)}];
}

// Hands the IRP to the device's driver and counts a system set-power IRP
// that reaches the bottom of a stack.
NTSTATUS Present(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (next->MinorFunction == IRP_MN_SET_POWER && next->Parameters.Power.Type == SystemPowerState &&
      !State().devices.at(device)->lower) {
    ++State().systemSetPowerAtBus[device];
  }
  return IofCallDriver(device, irp);
}

}  // namespace

void PowerIrpFinished(PIRP irp) {
  auto found = State().powerInFlight.find(irp);
  if (found == State().powerInFlight.end()) return;
  const VirtualTime held = Ground::Current().Sched().Now() - found->second.since;
  if (held > kPowerWatchdog) ReportWatchdog(irp, found->second, held);
  State().powerInFlight.erase(found);
}

void ReportPowerIrpsHeld() {
  for (const auto& [irp, record] : State().powerInFlight) {
    const std::string holder = Holder(irp);
    Log().Add(EventKind::Hang,
              record.what + " never completed: held by " + holder + " (IRP " +
                  Hex(reinterpret_cast<uintptr_t>(irp), 0) + ")",
              {{"irp", Hex(reinterpret_cast<uintptr_t>(irp), 0)}, {"driver", holder}});
    // Nothing else would happen: the watchdog's time would pass.
    ReportWatchdog(irp, record, kPowerWatchdog);
  }
  State().powerInFlight.clear();
}

NTSTATUS CallPowerDriver(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  // Its first call: the power manager's or the requester's (IRPs drivers
  // allocate themselves are not watched).
  auto record = State().irps.find(irp);
  if (irp->CurrentLocation == irp->StackCount + 1 && record != State().irps.end() &&
      !record->second->driverAllocated && !State().powerInFlight.contains(irp)) {
    State().powerInFlight[irp] = {PowerIrpName(next), Ground::Current().Sched().Now()};
  }
  if (!Serialised(next)) return Present(device, irp);
  KernelState::PowerQueue& queue = QueueOf(device, next);
  if (queue.busy) {
    // The caller's location (if it has one) is marked, as the power
    // manager does for the IRP it queues.
    if (irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
    queue.waiting.push_back(irp);
    Log().Add(EventKind::Note, "power IRP waits for PoStartNextPowerIrp",
              {{"irp", Hex(reinterpret_cast<uintptr_t>(irp), 0)},
               {"driver", DriverName(device->DriverObject)}});
    return STATUS_PENDING;
  }
  queue.busy = true;
  return Present(device, irp);
}

}  // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

extern "C" {

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  switch (winsim::Ground::Current().Config().os) {
    case winsim::OsFamily::Windows98:
    case winsim::OsFamily::Windows98SE:
    case winsim::OsFamily::WindowsMe:
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
  winsim::kernel::SwitchPoint("PoCallDriver");
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) && KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(),
                    "power IRP sent above PASSIVE_LEVEL to a DO_POWER_PAGABLE device");
  }
  return CallPowerDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  // Called by the driver whose location is current: its device may take
  // the next IRP of this type, which goes to it in a worker thread.
  if (Irp->CurrentLocation > Irp->StackCount) return;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT device = stack->DeviceObject;
  auto found = State().powerQueues.find({device, int(stack->Parameters.Power.Type)});
  if (found == State().powerQueues.end() || !stack->DeviceObject) return;
  winsim::KernelState::PowerQueue& queue = found->second;
  if (queue.waiting.empty()) {
    State().powerQueues.erase(found);
    return;
  }
  PIRP next = queue.waiting.front();
  queue.waiting.pop_front();
  winsim::Ground::Current().Sched().CreateThread(
      "power", [device, next] { Present(device, next); }, PASSIVE_LEVEL);
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
