// winsim: machine descriptions (see machine_description.h).
#include "machine/machine_description.h"

#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>

#include "usb/description_reader.h"
#include "usb/models/models.h"

namespace winsim {

namespace description {

namespace {

using usb::DeviceScript;

// USB allows five hubs between a root hub and a device.
constexpr int kMaxExternalHubs = 5;

}  // namespace

uint32_t Ordinal(const json& item, const std::string& path) {
  return static_cast<uint32_t>(Object::IntegerValue(item, path, 1, 0xFFFFFFFF));
}

usb::Failure ReadFailure(const json& item, const std::string& path) {
  Object object(item, path, {"usbdStatus", "status"});
  usb::Failure failure;
  failure.usbdStatus = static_cast<USBD_STATUS>(
      object.Integer("usbdStatus", 0, 0xFFFFFFFF, static_cast<uint32_t>(USBD_STATUS_STALL_PID)));
  failure.status = object.Has("status")
                       ? static_cast<NTSTATUS>(object.Integer("status", 0, 0xFFFFFFFF, 0))
                       : usb::StatusForUsbd(failure.usbdStatus);
  return failure;
}

namespace {

usb::TransferFault ReadTransferFault(const json& item, const std::string& path) {
  Object object(item, path, {"transfer", "usbdStatus", "status"});
  if (!object.Has("transfer")) {
    throw DescriptionError(path, "missing \"transfer\" (the transfer's ordinal, from 1)");
  }
  usb::TransferFault fault;
  fault.transfer = Ordinal(object.At("transfer"), object.PathOf("transfer"));
  json rest = item;
  rest.erase("transfer");
  fault.failure = ReadFailure(rest, path);
  return fault;
}

void ReadFaults(const json& item, const std::string& path, usb::Faults& faults) {
  Object object(item, path,
                {"failTransfers", "neverCompleteTransfers", "failSubmissions", "failResetPipes",
                 "resetPipeFailure", "failDescriptors", "oddStrings", "failSelectConfiguration",
                 "configurationTotalLength", "secondReadTotalLength", "secondReadShortBy",
                 "firstInterfaceLength", "firstEndpointLength", "firstInterfaceEndpoints",
                 "surpriseRemovalAtTransfer", "failStart", "failDevicePower", "failDeviceWake"});
  object.Array("failTransfers", 1000, [&](const json& element, const std::string& at) {
    faults.failTransfers.push_back(ReadTransferFault(element, at));
  });
  object.Array("failSubmissions", 1000, [&](const json& element, const std::string& at) {
    faults.failSubmissions.push_back(ReadTransferFault(element, at));
  });
  object.Array("neverCompleteTransfers", 1000, [&](const json& element, const std::string& at) {
    faults.neverCompleteTransfers.push_back(Ordinal(element, at));
  });
  object.Array("failResetPipes", 1000, [&](const json& element, const std::string& at) {
    faults.failResetPipes.push_back(Ordinal(element, at));
  });
  if (object.Has("resetPipeFailure")) {
    faults.resetPipeFailure =
        ReadFailure(object.At("resetPipeFailure"), object.PathOf("resetPipeFailure"));
  }
  object.Array("failDescriptors", 100, [&](const json& element, const std::string& at) {
    Object fault(element, at, {"type", "index", "count", "skip", "usbdStatus", "status"});
    usb::DescriptorFault descriptor;
    descriptor.type = fault.Choice<uint8_t>("type",
                                            {{"device", USB_DEVICE_DESCRIPTOR_TYPE},
                                             {"configuration", USB_CONFIGURATION_DESCRIPTOR_TYPE},
                                             {"string", USB_STRING_DESCRIPTOR_TYPE}},
                                            USB_STRING_DESCRIPTOR_TYPE);
    descriptor.index = static_cast<int>(fault.Integer("index", -1, 255, -1));
    descriptor.count = static_cast<int>(fault.Integer("count", -1, 1000000, -1));
    descriptor.skip = static_cast<int>(fault.Integer("skip", 0, 1000000, 0));
    json rest = element;
    rest.erase("type");
    rest.erase("index");
    rest.erase("count");
    rest.erase("skip");
    descriptor.failure = ReadFailure(rest, at);
    faults.failDescriptors.push_back(descriptor);
  });
  object.Array("oddStrings", 100, [&](const json& element, const std::string& at) {
    Object odd(element, at, {"index", "bLength"});
    faults.oddStrings.push_back({static_cast<uint8_t>(odd.Integer("index", 1, 255, 1)),
                                 static_cast<uint8_t>(odd.Integer("bLength", 0, 255, 7))});
  });
  if (object.Has("failSelectConfiguration")) {
    faults.failSelectConfiguration =
        ReadFailure(object.At("failSelectConfiguration"), object.PathOf("failSelectConfiguration"));
  }
  if (object.Has("configurationTotalLength")) {
    faults.totalLengthOverride =
        static_cast<uint16_t>(object.Integer("configurationTotalLength", 0, 65535, 0));
  }
  if (object.Has("secondReadTotalLength")) {
    faults.secondReadTotalLength =
        static_cast<uint16_t>(object.Integer("secondReadTotalLength", 0, 65535, 0));
  }
  if (object.Has("secondReadShortBy")) {
    faults.secondReadShortBy =
        static_cast<uint32_t>(object.Integer("secondReadShortBy", 1, 65535, 1));
  }
  if (object.Has("firstInterfaceLength")) {
    faults.firstInterfaceLength =
        static_cast<uint8_t>(object.Integer("firstInterfaceLength", 0, 255, 9));
  }
  if (object.Has("firstEndpointLength")) {
    faults.firstEndpointLength =
        static_cast<uint8_t>(object.Integer("firstEndpointLength", 0, 255, 7));
  }
  if (object.Has("firstInterfaceEndpoints")) {
    faults.firstInterfaceEndpoints =
        static_cast<uint8_t>(object.Integer("firstInterfaceEndpoints", 0, 255, 2));
  }
  if (object.Has("surpriseRemovalAtTransfer")) {
    faults.surpriseRemovalAtTransfer =
        Ordinal(object.At("surpriseRemovalAtTransfer"), object.PathOf("surpriseRemovalAtTransfer"));
  }
  const auto errorStatus = [&](const char* key) -> std::optional<NTSTATUS> {
    if (!object.Has(key)) return std::nullopt;
    const int64_t status = object.Integer(key, 0, 0xFFFFFFFF, 0);
    if (status < 0xC0000000) {
      throw DescriptionError(object.PathOf(key), "expected an error status (0xC0000000 and above)");
    }
    return static_cast<NTSTATUS>(status);
  };
  faults.failStart = errorStatus("failStart");
  faults.failDevicePower = errorStatus("failDevicePower");
  faults.failDeviceWake = errorStatus("failDeviceWake");
}

usb::EndpointScript ReadEndpoint(const json& item, const std::string& path) {
  Object object(item, path, {"address", "type", "maxPacketSize", "interval"});
  if (!object.Has("address")) {
    throw DescriptionError(path, "missing \"address\" (bit 7 set for IN)");
  }
  usb::EndpointScript endpoint;
  endpoint.address = static_cast<uint8_t>(object.Integer("address", 0x01, 0xFF, 0));
  if ((endpoint.address & 0x70) != 0 || (endpoint.address & 0x0F) == 0) {
    throw DescriptionError(object.PathOf("address"),
                           "expected an endpoint number 1..15, plus 0x80 for IN");
  }
  endpoint.attributes = object.Choice<uint8_t>(
      "type", {{"bulk", USB_ENDPOINT_TYPE_BULK}, {"interrupt", USB_ENDPOINT_TYPE_INTERRUPT}},
      USB_ENDPOINT_TYPE_BULK);
  endpoint.maxPacketSize = static_cast<uint16_t>(object.Integer("maxPacketSize", 1, 1024, 64));
  endpoint.interval = static_cast<uint8_t>(object.Integer("interval", 0, 255, 0));
  return endpoint;
}

void ReadConfiguration(const json& item, const std::string& path,
                       usb::ConfigurationScript& configuration) {
  Object object(item, path, {"value", "name", "attributes", "maxPower", "interfaces"});
  configuration.value = static_cast<uint8_t>(object.Integer("value", 1, 255, configuration.value));
  configuration.name = object.String("name", configuration.name, 126);
  configuration.attributes =
      static_cast<uint8_t>(object.Integer("attributes", 0, 255, configuration.attributes));
  configuration.maxPower =
      static_cast<uint8_t>(object.Integer("maxPower", 0, 255, configuration.maxPower));
  if (object.Has("interfaces")) {
    configuration.interfaces.clear();
    object.Array("interfaces", 32, [&](const json& element, const std::string& at) {
      Object interface(
          element, at,
          {"number", "alternateSetting", "class", "subClass", "protocol", "name", "endpoints"});
      usb::InterfaceScript script;
      script.number = static_cast<uint8_t>(interface.Integer("number", 0, 255, 0));
      script.alternateSetting =
          static_cast<uint8_t>(interface.Integer("alternateSetting", 0, 255, 0));
      script.interfaceClass = static_cast<uint8_t>(interface.Integer("class", 0, 255, 0xFF));
      script.interfaceSubClass = static_cast<uint8_t>(interface.Integer("subClass", 0, 255, 0));
      script.interfaceProtocol = static_cast<uint8_t>(interface.Integer("protocol", 0, 255, 0));
      script.name = interface.String("name", "", 126);
      interface.Array("endpoints", 30, [&](const json& endpoint, const std::string& where) {
        script.endpoints.push_back(ReadEndpoint(endpoint, where));
      });
      configuration.interfaces.push_back(std::move(script));
    });
  }
}

}  // namespace

void ReadDeviceFields(const Object& object, DeviceScript& script) {
  script.vendorId = static_cast<uint16_t>(object.Integer("vendorId", 0, 65535, script.vendorId));
  script.productId = static_cast<uint16_t>(object.Integer("productId", 0, 65535, script.productId));
  script.bcdDevice = static_cast<uint16_t>(object.Integer("bcdDevice", 0, 65535, script.bcdDevice));
  script.deviceClass =
      static_cast<uint8_t>(object.Integer("deviceClass", 0, 255, script.deviceClass));
  script.maxPacketSize0 =
      static_cast<uint8_t>(object.Integer("maxPacketSize0", 8, 64, script.maxPacketSize0));
  script.lowSpeed = object.Boolean("lowSpeed", script.lowSpeed);
  script.manufacturer = object.String("manufacturer", script.manufacturer, 126);
  script.product = object.String("product", script.product, 126);
  script.serialNumber = object.String("serialNumber", script.serialNumber, 126);
  script.description = object.String("description", script.description, 511);
  if (object.Has("driverKey")) {
    if (object.At("driverKey").is_null()) {
      script.driverKey = std::string();  // no driver installed
    } else {
      script.driverKey = object.String("driverKey", "", 511);
    }
  }
  if (object.Has("languages")) {
    script.languages.clear();
    object.Array("languages", 126, [&](const json& element, const std::string& at) {
      script.languages.push_back(
          static_cast<uint16_t>(Object::IntegerValue(element, at, 0, 65535)));
    });
  }
  if (object.Has("configuration")) {
    ReadConfiguration(object.At("configuration"), object.PathOf("configuration"),
                      script.configuration);
  }
  if (object.Has("faults")) {
    ReadFaults(object.At("faults"), object.PathOf("faults"), script.faults);
  }
}

const std::vector<std::string>& DeviceKeys() {
  static const std::vector<std::string> kDeviceKeys = [] {
    std::vector<std::string> keys = {"kind",        "vendorId",       "productId",   "bcdDevice",
                                     "deviceClass", "maxPacketSize0", "lowSpeed",    "manufacturer",
                                     "product",     "serialNumber",   "description", "driverKey",
                                     "languages",   "configuration",  "faults",      "ports"};
    for (const usb::ModelEntry& model : usb::Models()) {
      if (model.section != nullptr) {
        keys.push_back(model.section);
      }
    }
    return keys;
  }();
  return kDeviceKeys;
}

namespace {

void ReadPort(const json& item, const std::string& path, usb::PortScript& port, int hubDepth);

// The device's model, by its "kind".
const usb::ModelEntry& ModelOf(const Object& object) {
  std::string names;
  for (const usb::ModelEntry& model : usb::Models()) {
    names += (names.empty() ? "\"" : ", \"") + std::string(model.name) + "\"";
  }
  if (!object.Has("kind")) {
    throw DescriptionError(object.PathOf("kind"), "missing (one of " + names + ")");
  }
  if (object.At("kind").is_string()) {
    if (const usb::ModelEntry* model = usb::FindModel(object.At("kind").get<std::string>())) {
      return *model;
    }
  }
  throw DescriptionError(object.PathOf("kind"), "expected one of " + names);
}

void ReadDevice(const json& item, const std::string& path, usb::PortScript& port, int hubDepth) {
  Object object(item, path, DeviceKeys());
  const usb::ModelEntry& model = ModelOf(object);
  if (object.Has("ports") && !model.hasPorts) {
    throw DescriptionError(object.PathOf("ports"), "only a hub has ports");
  }
  for (const usb::ModelEntry& other : usb::Models()) {
    if (other.section != nullptr && &other != &model && object.Has(other.section) &&
        (model.section == nullptr || std::string(model.section) != other.section)) {
      throw DescriptionError(
          object.PathOf(other.section),
          std::string("only a ") + other.name + " device takes a " + other.section + " script");
    }
  }
  if (model.hasPorts) {
    if (hubDepth >= kMaxExternalHubs) {
      throw DescriptionError(path, "hubs nest deeper than USB allows (5 below a root hub)");
    }
    if (!object.Has("ports")) {
      throw DescriptionError(object.PathOf("ports"), "missing (a hub needs 1..127 ports)");
    }
  }
  const size_t hubPorts =
      object.Has("ports") && object.At("ports").is_array() ? object.At("ports").size() : 0;
  DeviceScript script = model.defaults(hubPorts);
  script.model = model.name;
  ReadDeviceFields(object, script);
  if (model.hasPorts) {
    if (hubPorts == 0) {
      throw DescriptionError(object.PathOf("ports"), "expected 1..127 ports");
    }
    object.Array("ports", 127, [&](const json& element, const std::string& at) {
      usb::PortScript child;
      ReadPort(element, at, child, hubDepth + 1);
      port.hubPorts.push_back(std::move(child));
    });
  }
  if (model.readSection != nullptr) {
    model.readSection(object, port);
  }
  port.device = std::move(script);
}

void ReadPort(const json& item, const std::string& path, usb::PortScript& port, int hubDepth) {
  if (item.is_null()) {
    return;  // an empty port
  }
  Object object(item, path, {"status", "device"});
  port.status = object.Choice<USB_CONNECTION_STATUS>(
      "status",
      {{"noDevice", NoDeviceConnected},
       {"connected", DeviceConnected},
       {"failedEnumeration", DeviceFailedEnumeration},
       {"generalFailure", DeviceGeneralFailure},
       {"overcurrent", DeviceCausedOvercurrent},
       {"notEnoughPower", DeviceNotEnoughPower},
       {"notEnoughBandwidth", DeviceNotEnoughBandwidth},
       {"nestedTooDeeply", DeviceHubNestedTooDeeply},
       {"inLegacyHub", DeviceInLegacyHub}},
      object.Has("device") ? DeviceConnected : NoDeviceConnected);
  if (object.Has("device")) {
    if (port.status == NoDeviceConnected) {
      throw DescriptionError(object.PathOf("status"), "a port with a device is not \"noDevice\"");
    }
    ReadDevice(object.At("device"), object.PathOf("device"), port, hubDepth);
  } else if (port.status == DeviceConnected) {
    throw DescriptionError(object.PathOf("device"), "missing (the port says \"connected\")");
  }
}

}  // namespace

}  // namespace description

using description::json;
using description::Object;
using description::ReadPort;

MachineDescription ParseMachineDescription(std::string_view text) {
  json document;
  try {
    document = json::parse(text.begin(), text.end());
  } catch (const json::exception& error) {
    // A syntax error, or a number too large for any type (out_of_range).
    throw DescriptionError("", std::string("not valid JSON: ") + error.what());
  }
  MachineDescription machine;
  Object root(document, "", {"os", "windowsDirectory", "clock", "kernelDebugger", "usb"});
  machine.os = root.Choice<OsFamily>("os",
                                     {{"Windows98", OsFamily::Windows98},
                                      {"Windows98SE", OsFamily::Windows98SE},
                                      {"WindowsMe", OsFamily::WindowsMe},
                                      {"Windows2000", OsFamily::Windows2000},
                                      {"WindowsNT", OsFamily::WindowsNt}},
                                     OsFamily::WindowsNt);
  machine.windowsDirectory = root.String("windowsDirectory", machine.windowsDirectory, 200);
  const std::string& directory = machine.windowsDirectory;
  if (directory.size() < 3 || directory[1] != ':' || directory[2] != '\\' ||
      !std::isalpha(static_cast<unsigned char>(directory[0]))) {
    throw DescriptionError(root.PathOf("windowsDirectory"),
                           "expected a drive path such as \"C:\\\\WINDOWS\"");
  }
  machine.clock = root.Choice<ClockMode>(
      "clock", {{"virtual", ClockMode::Virtual}, {"realTime", ClockMode::RealTime}},
      ClockMode::Virtual);
  machine.kernelDebugger = root.Boolean("kernelDebugger", false);
  if (root.Has("usb")) {
    Object usbObject(root.At("usb"), root.PathOf("usb"),
                     {"completion", "timing", "devicePower", "portPowerInSleep", "controllers"});
    machine.usb.completion =
        usbObject.Choice<usb::CompletionMode>("completion",
                                              {{"asynchronous", usb::CompletionMode::Asynchronous},
                                               {"inline", usb::CompletionMode::Inline}},
                                              usb::CompletionMode::Asynchronous);
    machine.usb.timing = usbObject.Choice<usb::TransferTiming>(
        "timing",
        {{"fullSpeed", usb::TransferTiming::FullSpeed}, {"instant", usb::TransferTiming::Instant}},
        usb::TransferTiming::FullSpeed);
    if (usbObject.Has("devicePower")) {
      machine.usb.pendDevicePower =
          usbObject.Choice<bool>("devicePower", {{"immediate", false}, {"pended", true}}, false);
    }
    machine.usb.portsUnpoweredInSleep =
        usbObject.Choice<bool>("portPowerInSleep", {{"kept", false}, {"off", true}}, false);
    usbObject.Array("controllers", 10, [&](const json& element, const std::string& at) {
      Object controllerObject(
          element, at, {"numberedName", "deviceInterface", "description", "driverKey", "ports"});
      usb::ControllerScript controller;
      controller.numberedName = controllerObject.Boolean("numberedName", true);
      controller.deviceInterface = controllerObject.Boolean("deviceInterface", true);
      if (!controller.numberedName && !controller.deviceInterface) {
        throw DescriptionError(at, "a controller needs \"numberedName\" or \"deviceInterface\"");
      }
      controller.description = controllerObject.String("description", controller.description, 511);
      controller.driverKey = controllerObject.String("driverKey", "", 511);
      if (!controllerObject.Has("ports")) {
        throw DescriptionError(controllerObject.PathOf("ports"), "missing (the root hub's ports)");
      }
      controllerObject.Array("ports", 15, [&](const json& port, const std::string& where) {
        usb::PortScript script;
        ReadPort(port, where, script, 0);
        controller.rootPorts.push_back(std::move(script));
      });
      if (controller.rootPorts.empty()) {
        throw DescriptionError(controllerObject.PathOf("ports"), "expected 1..15 ports");
      }
      machine.usb.controllers.push_back(std::move(controller));
    });
  }
  return machine;
}

MachineDescription LoadMachineDescription(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::binary);
  if (!file) {
    throw DescriptionError("", "cannot read " + fileName);
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseMachineDescription(text.str());
}

}  // namespace winsim
