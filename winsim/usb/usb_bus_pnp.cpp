// winsim: Plug and Play and power of the devices' physical device objects
// as the USB bus driver answers them (see usb_bus.h). A port whose device
// is below D0 is suspended: the hub fails its URBs (usb_bus_urb.cpp).
#include <utility>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "usb/hub_power.h"
#include "usb/usb_bus_state.h"

namespace winsim::usb {

NTSTATUS UsbBus::State::Pnp(PDEVICE_OBJECT device, Port* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = port->device != nullptr && port->device->Script().faults.failStart
                   ? *port->device->Script().faults.failStart
                   : STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = TRUE;
      capabilities->SurpriseRemovalOK = FALSE;
      capabilities->UniqueID = FALSE;
      capabilities->Address = port->number;
      capabilities->UINumber = port->number;
      capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        capabilities->DeviceState[state] = PowerDeviceD3;
      }
      capabilities->SystemWake = PowerSystemUnspecified;
      capabilities->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      // A PDO whose device has left goes with its removal; one whose device
      // is still there stays for the next arrival.
      if (port->pdo == device && port->status != DeviceConnected) {
        port->pdo = nullptr;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(device);
        return status;
      }
      if (port->pdo != device) {
        // An earlier PDO of this port (the device came back meanwhile).
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(device);
        return status;
      }
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UsbBus::State::Power(PDEVICE_OBJECT device, Port* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // A bus driver's PDO: take the new state and succeed (unless the
  // script says the device cannot change it); other minor functions
  // keep their status.
  PoStartNextPowerIrp(irp);
  NTSTATUS status = irp->IoStatus.Status;
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
    status = STATUS_SUCCESS;
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState) {
      const Faults* faults =
          port != nullptr && port->device != nullptr ? &port->device->Script().faults : nullptr;
      const bool toD0 = stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
      if (faults != nullptr && faults->failDevicePower) {
        status = *faults->failDevicePower;
      } else if (faults != nullptr && toD0 && faults->failDeviceWake) {
        status = *faults->failDeviceWake;
      } else {
        PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        const HubPowerBehaviour hub = HubPowerOf(Ground::Current().Config().os);
        if (port != nullptr && tree.pendDevicePower.value_or(hub.pendsDevicePower)) {
          // The hub suspends or resumes the port first (resume signalling
          // and recovery take their time) and completes the request once
          // the port is in its new state, so a transfer sent from the
          // completion finds the port powered.
          const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
          IoMarkIrpPending(irp);
          LogUrb("device power request pended",
                 {{"port", port->path}, {"state", "D" + std::to_string(int(state) - 1)}});
          Ground::Current().Sched().Schedule(
              kPortPowerChange, "usb: port power changed",
              [this, device, port, irp, state, atDispatch = hub.completionIrql == DISPATCH_LEVEL] {
                // A device that left meanwhile took its PDO along: the port
                // is another device's now.
                if (port->pdo == device) SetDevicePower(*port, state);
                irp->IoStatus.Status = STATUS_SUCCESS;
                if (atDispatch) {
                  kernel::QueueDpc("device power request",
                                   [irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
                } else {
                  IoCompleteRequest(irp, IO_NO_INCREMENT);  // on this thread, PASSIVE_LEVEL
                }
              });
          return STATUS_PENDING;
        }
        // The port takes the device's new state before the request
        // completes, as the hub does: a D0 request completes only once the
        // port has resumed, so the function driver's completion routine may
        // send at once.
        if (port != nullptr && port->pdo == device) {
          SetDevicePower(*port, stack->Parameters.Power.State.DeviceState);
        }
      }
    }
    irp->IoStatus.Status = status;
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void UsbBus::State::SetDevicePower(Port& port, DEVICE_POWER_STATE state) { port.power = state; }

void UsbBus::State::SystemPower(Port& port, SYSTEM_POWER_STATE state) {
  if (state == PowerSystemHibernate || state == PowerSystemShutdown ||
      (state >= PowerSystemSleeping1 && state <= PowerSystemSleeping3 &&
       tree.portsUnpoweredInSleep)) {
    port.powerLost = true;
    return;
  }
  if (state != PowerSystemWorking || !std::exchange(port.powerLost, false) ||
      port.device == nullptr) {
    return;
  }
  const std::optional<ReturnAs> back = port.device->AfterPowerLoss();
  if (!back) return;
  LogUrb("device lost power in the sleep", {{"port", port.path}});
  Leave(port);
  ScheduleReturn(port, *back);
}

}  // namespace winsim::usb
