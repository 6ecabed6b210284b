// winsim: the device models (usb_device.h is their interface) and their
// registration. A device script names its model by its registered name
// (DeviceScript::model, "kind" in machine descriptions); CreateDevice makes
// the model for a port. A new model is one file here plus its entry in
// kModels (models.cpp).
#pragma once

#include <memory>
#include <string_view>

#include "usb/device_script.h"
#include "usb/usb_device.h"

namespace winsim::description {
class Object;
}

namespace winsim::usb {

// A device whose driver configures it as it starts (mice, keyboards,
// storage): the bus opens its pipes.
class ConfiguredDevice : public UsbDevice {
 public:
  using UsbDevice::UsbDevice;
  bool StartsConfigured() const override { return true; }
};

// The registered names of the models declared here (the Q417's is in
// q417.h); "generic" is UsbDevice itself.
inline constexpr char kGenericModel[] = "generic";
inline constexpr char kMouseModel[] = "mouse";
inline constexpr char kKeyboardModel[] = "keyboard";
inline constexpr char kStorageModel[] = "storage";
inline constexpr char kHubModel[] = "hub";

struct ModelEntry {
  const char* name;  // DeviceScript::model, the "kind" of machine descriptions
  std::unique_ptr<UsbDevice> (*create)(const PortScript& port);
  // The device's defaults; ports: a hub's port count.
  DeviceScript (*defaults)(size_t ports);
  bool hasPorts = false;  // a hub: its description gives "ports"
  // A key of its own in machine descriptions (nullptr: none), and its
  // reader, called for every device of the model (with or without the key):
  // it sets the port's settings.
  const char* section = nullptr;
  void (*readSection)(const description::Object& device, PortScript& port) = nullptr;
};

// Every model.
const std::vector<ModelEntry>& Models();
// The model registered by that name, or null.
const ModelEntry* FindModel(std::string_view name);

// The model for the port's device (port.device must be set); null for a
// name no model has.
std::unique_ptr<UsbDevice> CreateDevice(const PortScript& port);

// The models' defaults (their descriptors and identities).
DeviceScript DefaultMouse();
DeviceScript DefaultKeyboard();
DeviceScript DefaultStorage();
DeviceScript DefaultHub(uint8_t ports);

std::unique_ptr<UsbDevice> CreateHid(const PortScript& port);
std::unique_ptr<UsbDevice> CreateStorage(const PortScript& port);
std::unique_ptr<UsbDevice> CreateHub(const PortScript& port);

}  // namespace winsim::usb
