// winsim: the USB bus: host controllers (\\.\HCDn and/or the
// GUID_CLASS_USB_HOST_CONTROLLER interface), root and external hubs
// answering the published control codes, and a physical device object per
// device answering IOCTL_INTERNAL_USB_SUBMIT_URB and the Plug and Play and
// power requests a bus driver answers for its PDOs. Devices are the models
// of usb_device.h; the bus reports them to the Plug and Play manager
// (winsim/pnp/pnp_manager.h) and records URBs and hub requests in the event
// log (EventKind::Urb).
//
// Threading: Create, Plug, Unplug and Shutdown run on a simulated thread at
// PASSIVE_LEVEL. The bus must outlive the machine's run (scheduled returns
// of devices refer to it).
#pragma once

#include <wdm.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "usb/device_script.h"
#include "usb/usb_device.h"

namespace winsim::usb {

class UsbBus {
 public:
  // Loads the bus drivers ("usbhcd" for the host controllers, "usbhub" for
  // hubs and devices), creates every device object and reports the devices
  // to the Plug and Play manager. Null when a device names no registered
  // model or the drivers cannot load.
  static std::unique_ptr<UsbBus> Create(UsbTreeScript script);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  void SetCompletionMode(CompletionMode mode);
  CompletionMode Completion() const;

  // A port by path: "<controller>/<root port>[/<hub port>...]", ports from 1
  // ("0/2/1": controller 0, root port 2, port 1 of the hub there).
  // nullptr when the path names no port or no device is on it.
  UsbDevice* DeviceAt(std::string_view path);
  // The device's physical device object, or nullptr.
  PDEVICE_OBJECT PdoAt(std::string_view path);
  // The symbolic name (without "\\.\") of the hub at a path ("0" is the
  // root hub of controller 0), or "".
  std::string HubNameAt(std::string_view path);
  // Every device that has been on a port, in order of arrival (devices that
  // left stay, so tests read what they recorded).
  std::vector<const UsbDevice*> History(std::string_view path);

  // Attaches a device to an empty port / takes it off (surprise removal).
  // Plug refuses a hub and a device that names no registered model.
  bool Plug(std::string_view path, PortScript port);
  bool Unplug(std::string_view path);

  // Orderly removal of every device, then deletion of the bus's device
  // objects and unloading of its drivers.
  void Shutdown();

  struct State;

 private:
  UsbBus();
  std::unique_ptr<State> state_;
};

}  // namespace winsim::usb
