// winsim: the device models (usb_device.h is their interface) and their
// registration. A machine's port names a model by its kind (DeviceKind,
// "kind" in machine descriptions); CreateDevice makes the model for a port.
// A new model is one file here plus its entry in kModels (models.cpp).
#pragma once

#include <memory>

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

struct ModelEntry {
  DeviceKind kind;
  const char* name;  // the "kind" of machine descriptions
  std::unique_ptr<UsbDevice> (*create)(const PortScript& port);
  // The device's defaults; ports: a hub's port count.
  DeviceScript (*defaults)(size_t ports);
  bool hasPorts = false;  // a hub: its description gives "ports"
  // A key of its own in machine descriptions (nullptr: none), and its
  // reader, called for every device of the model (with or without the key).
  const char* section = nullptr;
  void (*readSection)(const description::Object& device, PortScript& port) = nullptr;
};

// Every model, by kind.
const std::vector<ModelEntry>& Models();

// The model for the port's device (port.device must be set).
std::unique_ptr<UsbDevice> CreateDevice(const PortScript& port);

std::unique_ptr<UsbDevice> CreateHid(const PortScript& port);
std::unique_ptr<UsbDevice> CreateStorage(const PortScript& port);
std::unique_ptr<UsbDevice> CreateHub(const PortScript& port);
std::unique_ptr<UsbDevice> CreateQ417(const PortScript& port);
void ReadQ417Section(const description::Object& device, PortScript& port);

}  // namespace winsim::usb
