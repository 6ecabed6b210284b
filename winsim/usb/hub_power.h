// winsim: how each OS family's USB hub driver answers a device set-power
// request (IRP_MN_SET_POWER, DevicePowerState) at a device's PDO, the
// default of UsbTreeScript::pendDevicePower.
//
// Changing a port's power takes bus time: a suspended port resumes with
// 20 ms of resume signalling and a device may be used 10 ms after it (USB
// 2.0, 7.1.7.7 and TRSMRCY; kPortPowerChange). A hub driver cannot spend
// that in a dispatch routine that may run at DISPATCH_LEVEL, and the WDK's
// rule for a bus driver that cannot finish a device set-power request at
// once is to mark it pending, return STATUS_PENDING and complete it later
// ("Handling IRP_MN_SET_POWER for Device Power States"). What each family
// does:
// - Windows 2000 and XP: the hub queues device power requests for its ports
//   (Knowledge Base 914028: XP's hub driver holds port power IRPs, and the
//   FlushPortPowerIrpsFlag value in ...\Control\usbflags makes it flush
//   them) and completes them from its own context once the port has changed.
//   winsim completes them at DISPATCH_LEVEL, the harshest level a completion
//   routine may run at.
// - Windows 98, 98 SE and Me: the WDM hub pends them too, and completes
//   power set and query requests only at PASSIVE_LEVEL, as those systems
//   require of every driver (W. Oney, "Programming the Microsoft Windows
//   Driver Model", 2nd ed., Windows 98/Me compatibility notes: "Completing
//   Power IRPs").
// NoWdm (a test setting) answers as the NT family.
#pragma once

#include <wdm.h>

#include "ground/ground.h"

namespace winsim::usb {

struct HubPowerBehaviour {
  bool pendsDevicePower = true;
  // The IRQL at which a pended request completes.
  KIRQL completionIrql = DISPATCH_LEVEL;
};

constexpr HubPowerBehaviour HubPowerOf(OsFamily os) {
  switch (os) {
    case OsFamily::Windows98:
    case OsFamily::Windows98SE:
    case OsFamily::WindowsMe:
      return {true, PASSIVE_LEVEL};
    case OsFamily::Windows2000:
    case OsFamily::WindowsNt:
    case OsFamily::NoWdm:
      return {true, DISPATCH_LEVEL};
  }
  return {};
}

}  // namespace winsim::usb
