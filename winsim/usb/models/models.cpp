// winsim: the models' registration (see models.h).
#include "usb/models/models.h"

namespace winsim::usb {

namespace {

std::unique_ptr<UsbDevice> CreateGeneric(const PortScript& port) {
  return std::make_unique<UsbDevice>(*port.device);
}

}  // namespace

const std::vector<ModelEntry>& Models() {
  static const std::vector<ModelEntry> kModels = {
      {DeviceKind::Generic, "generic", CreateGeneric},
      {DeviceKind::Mouse, "mouse", CreateHid},
      {DeviceKind::Keyboard, "keyboard", CreateHid},
      {DeviceKind::Storage, "storage", CreateStorage},
      {DeviceKind::Hub, "hub", CreateHub},
      {DeviceKind::Q417, "q417", CreateQ417},
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
