// winsim: a mass-storage device (bulk-only transport: a bulk IN and a bulk
// OUT endpoint), configured by its driver as it starts.
#include "usb/models/models.h"

namespace winsim::usb {

DeviceScript DefaultStorage() {
  DeviceScript script;
  script.model = kStorageModel;
  script.vendorId = 0x0F00;
  script.productId = 0x0010;
  script.maxPacketSize0 = 64;
  script.manufacturer = "Generic";
  script.product = "Flash Disk";
  script.serialNumber = "000000000001";
  InterfaceScript interface;
  interface.interfaceClass = USB_DEVICE_CLASS_STORAGE;
  interface.interfaceSubClass = 6;
  interface.interfaceProtocol = 0x50;
  interface.endpoints = {{0x81, USB_ENDPOINT_TYPE_BULK, 64, 0},
                         {0x02, USB_ENDPOINT_TYPE_BULK, 64, 0}};
  script.configuration.interfaces = {interface};
  script.description = "USB Mass Storage Device";
  return script;
}

std::unique_ptr<UsbDevice> CreateStorage(const PortScript& port) {
  return std::make_unique<ConfiguredDevice>(*port.device);
}

}  // namespace winsim::usb
