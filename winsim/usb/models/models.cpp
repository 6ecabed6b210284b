// winsim: the models' registration (see models.h).
#include "usb/models/models.h"

namespace winsim::usb {

namespace {

std::unique_ptr<UsbDevice> CreateGeneric(const PortScript& port) {
  return std::make_unique<UsbDevice>(*port.device);
}

DeviceScript GenericDefaults(size_t) {
  DeviceScript script;
  script.description = "USB Device";
  return script;
}

}  // namespace

const std::vector<ModelEntry>& Models() {
  static const std::vector<ModelEntry> kModels = {
      {DeviceKind::Generic, "generic", CreateGeneric, GenericDefaults},
      {DeviceKind::Mouse, "mouse", CreateHid, [](size_t) { return DefaultMouse(); }},
      {DeviceKind::Keyboard, "keyboard", CreateHid, [](size_t) { return DefaultKeyboard(); }},
      {DeviceKind::Storage, "storage", CreateStorage, [](size_t) { return DefaultStorage(); }},
      {DeviceKind::Hub, "hub", CreateHub,
       [](size_t ports) { return DefaultHub(static_cast<uint8_t>(ports)); }, true},
      {DeviceKind::Q417, "q417", CreateQ417, [](size_t) { return DefaultQ417NormalMode(); }, false,
       "q417", ReadQ417Section},
  };
  return kModels;
}

std::unique_ptr<UsbDevice> CreateDevice(const PortScript& port) {
  for (const ModelEntry& model : Models()) {
    if (model.kind == port.device->kind) {
      return model.create(port);
    }
  }
  return CreateGeneric(port);
}

}  // namespace winsim::usb
