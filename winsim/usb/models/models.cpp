// winsim: the models' registration (see models.h).
#include "usb/models/models.h"

#include "usb/models/q417.h"

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
      {kGenericModel, CreateGeneric, GenericDefaults},
      {kMouseModel, CreateHid, [](size_t) { return DefaultMouse(); }},
      {kKeyboardModel, CreateHid, [](size_t) { return DefaultKeyboard(); }},
      {kStorageModel, CreateStorage, [](size_t) { return DefaultStorage(); }},
      {kHubModel, CreateHub, [](size_t ports) { return DefaultHub(static_cast<uint8_t>(ports)); },
       true},
      {kQ417Model, CreateQ417, [](size_t) { return DefaultQ417NormalMode(); }, false, "q417",
       ReadQ417Section},
  };
  return kModels;
}

const ModelEntry* FindModel(std::string_view name) {
  for (const ModelEntry& model : Models()) {
    if (name == model.name) {
      return &model;
    }
  }
  return nullptr;
}

std::unique_ptr<UsbDevice> CreateDevice(const PortScript& port) {
  const ModelEntry* model = FindModel(port.device->model);
  return model != nullptr ? model->create(port) : nullptr;
}

}  // namespace winsim::usb
