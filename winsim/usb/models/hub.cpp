// winsim: an external hub: its ports come from the port script's hubPorts
// (the bus builds them); the hub driver configures it as it starts.
#include "usb/models/models.h"

namespace winsim::usb {

namespace {

class HubDevice : public ConfiguredDevice {
 public:
  using ConfiguredDevice::ConfiguredDevice;
  bool IsHub() const override { return true; }
};

}  // namespace

DeviceScript DefaultHub(uint8_t ports) {
  DeviceScript script;
  script.model = kHubModel;
  script.vendorId = 0x0F00;
  script.productId = static_cast<uint16_t>(0x0100 + ports);
  script.deviceClass = USB_DEVICE_CLASS_HUB;
  script.maxPacketSize0 = 64;
  InterfaceScript interface;
  interface.interfaceClass = USB_DEVICE_CLASS_HUB;
  interface.endpoints = {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 1, 255}};
  script.configuration.interfaces = {interface};
  script.configuration.attributes = USB_CONFIG_SELF_POWERED;
  script.description = "Generic USB Hub";
  return script;
}

std::unique_ptr<UsbDevice> CreateHub(const PortScript& port) {
  return std::make_unique<HubDevice>(*port.device);
}

}  // namespace winsim::usb
