// winsim: the mouse and the keyboard: low-speed HID devices with one
// interrupt IN endpoint, configured by their driver as they start.
#include "usb/models/models.h"

namespace winsim::usb {

namespace {

DeviceScript HidDevice(const char* model, uint16_t productId, uint8_t protocol, const char* product,
                       const char* description) {
  DeviceScript script;
  script.model = model;
  script.vendorId = 0x0F00;
  script.productId = productId;
  script.lowSpeed = true;
  script.manufacturer = "Generic";
  script.product = product;
  InterfaceScript interface;
  interface.interfaceClass = USB_DEVICE_CLASS_HUMAN_INTERFACE;
  interface.interfaceSubClass = 1;
  interface.interfaceProtocol = protocol;
  interface.endpoints = {{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}};
  script.configuration.interfaces = {interface};
  script.description = description;
  return script;
}

}  // namespace

DeviceScript DefaultMouse() {
  return HidDevice(kMouseModel, 0x0002, 2, "USB Optical Mouse", "USB Human Interface Device");
}

DeviceScript DefaultKeyboard() {
  return HidDevice(kKeyboardModel, 0x0001, 1, "USB Keyboard", "USB Human Interface Device");
}

std::unique_ptr<UsbDevice> CreateHid(const PortScript& port) {
  return std::make_unique<ConfiguredDevice>(*port.device);
}

}  // namespace winsim::usb
