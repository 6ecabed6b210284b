// winsim: machine descriptions (see machine_description.h).
#include "machine/machine_description.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>

namespace winsim {

namespace {

using nlohmann::json;
using usb::DeviceKind;
using usb::DeviceScript;

// USB allows five hubs between a root hub and a device.
constexpr int kMaxExternalHubs = 5;

// One JSON object being read: every key must be known; values are checked
// with their path.
class Object {
 public:
  Object(const json& value, std::string path, std::initializer_list<const char*> keys)
      : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) {
      throw DescriptionError(path_, "expected an object");
    }
    for (const auto& [key, item] : value_.items()) {
      bool known = false;
      for (const char* allowed : keys) {
        known = known || key == allowed;
      }
      if (!known) {
        throw DescriptionError(path_ + "/" + key, "unknown key");
      }
    }
  }

  bool Has(const char* key) const { return value_.contains(key); }
  const json& At(const char* key) const { return value_.at(key); }
  std::string PathOf(const char* key) const { return path_ + "/" + key; }
  const std::string& Path() const { return path_; }

  int64_t Integer(const char* key, int64_t minimum, int64_t maximum, int64_t fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    return IntegerValue(At(key), PathOf(key), minimum, maximum);
  }

  static int64_t IntegerValue(const json& item, const std::string& path, int64_t minimum,
                              int64_t maximum) {
    // Numbers, or hexadecimal strings ("0xC0000001") for statuses and ids.
    int64_t value = 0;
    bool ok = false;
    if (item.is_number_integer()) {
      value = item.get<int64_t>();
      ok = true;
    } else if (item.is_string()) {
      const std::string text = item.get<std::string>();
      if (text.size() > 2 && text.size() <= 10 && text[0] == '0' &&
          (text[1] == 'x' || text[1] == 'X') &&
          text.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos) {
        value = static_cast<int64_t>(std::stoull(text.substr(2), nullptr, 16));
        ok = true;
      }
    }
    if (!ok || value < minimum || value > maximum) {
      std::ostringstream message;
      message << "expected an integer " << minimum << ".." << maximum;
      throw DescriptionError(path, message.str());
    }
    return value;
  }

  bool Boolean(const char* key, bool fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    if (!At(key).is_boolean()) {
      throw DescriptionError(PathOf(key), "expected true or false");
    }
    return At(key).get<bool>();
  }

  std::string String(const char* key, const std::string& fallback, size_t maximum = 255) const {
    if (!Has(key)) {
      return fallback;
    }
    if (!At(key).is_string()) {
      throw DescriptionError(PathOf(key), "expected a string");
    }
    std::string text = At(key).get<std::string>();
    if (text.size() > maximum) {
      throw DescriptionError(PathOf(key), "longer than " + std::to_string(maximum) + " characters");
    }
    return text;
  }

  template <typename T>
  T Choice(const char* key, std::initializer_list<std::pair<const char*, T>> choices,
           T fallback) const {
    if (!Has(key)) {
      return fallback;
    }
    std::string names;
    if (At(key).is_string()) {
      const std::string text = At(key).get<std::string>();
      for (const auto& [name, value] : choices) {
        if (text == name) {
          return value;
        }
      }
    }
    for (const auto& [name, value] : choices) {
      names += (names.empty() ? "\"" : ", \"") + std::string(name) + "\"";
    }
    throw DescriptionError(PathOf(key), "expected one of " + names);
  }

  // Calls read(element, path) for each element of an array.
  void Array(const char* key, size_t maximum,
             const std::function<void(const json&, const std::string&)>& read) const {
    if (!Has(key)) {
      return;
    }
    if (!At(key).is_array()) {
      throw DescriptionError(PathOf(key), "expected an array");
    }
    if (At(key).size() > maximum) {
      throw DescriptionError(PathOf(key),
                             "expected at most " + std::to_string(maximum) + " elements");
    }
    for (size_t i = 0; i < At(key).size(); ++i) {
      read(At(key)[i], PathOf(key) + "/" + std::to_string(i));
    }
  }

 private:
  const json& value_;
  std::string path_;
};

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
                 "surpriseRemovalAtTransfer", "failStart", "failDevicePower"});
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

DeviceScript BaseScript(DeviceKind kind, size_t hubPorts) {
  switch (kind) {
    case DeviceKind::Mouse:
      return usb::DefaultMouse();
    case DeviceKind::Keyboard:
      return usb::DefaultKeyboard();
    case DeviceKind::Storage:
      return usb::DefaultStorage();
    case DeviceKind::Hub:
      return usb::DefaultHub(static_cast<uint8_t>(hubPorts));
    case DeviceKind::Q417:
      return usb::DefaultQ417NormalMode();
    case DeviceKind::Generic:
      break;
  }
  DeviceScript script;
  script.description = "USB Device";
  return script;
}

// The identity and behaviour keys every device takes.
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

constexpr std::initializer_list<const char*> kDeviceKeys = {
    "kind",      "vendorId",      "productId", "bcdDevice",    "deviceClass", "maxPacketSize0",
    "lowSpeed",  "manufacturer",  "product",   "serialNumber", "description", "driverKey",
    "languages", "configuration", "faults",    "ports",        "q417"};

void ReadPort(const json& item, const std::string& path, usb::PortScript& port, int hubDepth);

void ReadQ417(const json& item, const std::string& path, usb::Q417Script& q417) {
  Object object(item, path,
                {"triggerReplies", "leaveAfterTriggers", "returnDelayMs", "updateMode",
                 "afterDownload", "badHeader", "failTriggers"});
  if (object.Has("triggerReplies")) {
    q417.triggerPattern.clear();
    object.Array("triggerReplies", 1000, [&](const json& element, const std::string& at) {
      if (!element.is_string()) {
        throw DescriptionError(at, "expected \"stall\", \"crc\" or \"answer\"");
      }
      const std::string text = element.get<std::string>();
      if (text == "stall") {
        q417.triggerPattern.push_back(usb::TriggerReply::Stall);
      } else if (text == "crc") {
        q417.triggerPattern.push_back(usb::TriggerReply::Crc);
      } else if (text == "answer") {
        q417.triggerPattern.push_back(usb::TriggerReply::Answer);
      } else {
        throw DescriptionError(at, "expected \"stall\", \"crc\" or \"answer\"");
      }
    });
    if (q417.triggerPattern.empty()) {
      throw DescriptionError(object.PathOf("triggerReplies"), "expected at least one reply");
    }
  }
  q417.leaveAfterTriggers =
      static_cast<uint32_t>(object.Integer("leaveAfterTriggers", 0, 1000000, 10));
  q417.returnDelay = object.Integer("returnDelayMs", 0, 3'600'000, 2000) * kTicksPerMillisecond;
  if (object.Has("updateMode")) {
    const std::string at = object.PathOf("updateMode");
    Object update(object.At("updateMode"), at, kDeviceKeys);
    if (update.Has("kind") || update.Has("ports") || update.Has("q417")) {
      throw DescriptionError(at, "the update-mode device takes no \"kind\", \"ports\" or \"q417\"");
    }
    ReadDeviceFields(update, q417.updateMode);
  }
  if (object.Has("afterDownload")) {
    Object after(object.At("afterDownload"), object.PathOf("afterDownload"), {"action", "delayMs"});
    q417.leaveAfterDownload =
        after.Choice<bool>("action", {{"stay", false}, {"leave", true}}, false);
    q417.endDelay = after.Integer("delayMs", 0, 3'600'000, 500) * kTicksPerMillisecond;
  }
  if (object.Has("badHeader")) {
    q417.badHeader = ReadFailure(object.At("badHeader"), object.PathOf("badHeader"));
  }
  object.Array("failTriggers", 100, [&](const json& element, const std::string& at) {
    // {trigger, usbdStatus, status}: a transfer fault whose ordinal counts signals.
    Object fault(element, at, {"trigger", "usbdStatus", "status"});
    if (!fault.Has("trigger")) {
      throw DescriptionError(at, "missing \"trigger\" (the signal's ordinal, from 1)");
    }
    usb::TransferFault trigger;
    trigger.transfer = Ordinal(fault.At("trigger"), fault.PathOf("trigger"));
    json rest = element;
    rest.erase("trigger");
    trigger.failure = ReadFailure(rest, at);
    q417.failTriggers.push_back(trigger);
  });
}

void ReadDevice(const json& item, const std::string& path, usb::PortScript& port, int hubDepth) {
  Object object(item, path, kDeviceKeys);
  const DeviceKind kind = object.Choice<DeviceKind>("kind",
                                                    {{"generic", DeviceKind::Generic},
                                                     {"mouse", DeviceKind::Mouse},
                                                     {"keyboard", DeviceKind::Keyboard},
                                                     {"storage", DeviceKind::Storage},
                                                     {"hub", DeviceKind::Hub},
                                                     {"q417", DeviceKind::Q417}},
                                                    DeviceKind::Generic);
  if (!object.Has("kind")) {
    throw DescriptionError(object.PathOf("kind"),
                           "missing (one of \"generic\", \"mouse\", \"keyboard\", \"storage\", "
                           "\"hub\", \"q417\")");
  }
  if (object.Has("ports") && kind != DeviceKind::Hub) {
    throw DescriptionError(object.PathOf("ports"), "only a hub has ports");
  }
  if (object.Has("q417") && kind != DeviceKind::Q417) {
    throw DescriptionError(object.PathOf("q417"), "only a q417 device takes a q417 script");
  }
  if (kind == DeviceKind::Hub) {
    if (hubDepth >= kMaxExternalHubs) {
      throw DescriptionError(path, "hubs nest deeper than USB allows (5 below a root hub)");
    }
    if (!object.Has("ports")) {
      throw DescriptionError(object.PathOf("ports"), "missing (a hub needs 1..127 ports)");
    }
  }
  const size_t hubPorts =
      object.Has("ports") && object.At("ports").is_array() ? object.At("ports").size() : 0;
  DeviceScript script = BaseScript(kind, hubPorts);
  ReadDeviceFields(object, script);
  if (kind == DeviceKind::Hub) {
    if (hubPorts == 0) {
      throw DescriptionError(object.PathOf("ports"), "expected 1..127 ports");
    }
    object.Array("ports", 127, [&](const json& element, const std::string& at) {
      usb::PortScript child;
      ReadPort(element, at, child, hubDepth + 1);
      port.hubPorts.push_back(std::move(child));
    });
  }
  if (kind == DeviceKind::Q417) {
    usb::Q417Script q417;
    q417.updateMode = usb::DefaultQ417UpdateMode();
    if (object.Has("q417")) {
      ReadQ417(object.At("q417"), object.PathOf("q417"), q417);
    }
    port.q417 = std::move(q417);
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

MachineDescription ParseMachineDescription(std::string_view text) {
  json document;
  try {
    document = json::parse(text.begin(), text.end());
  } catch (const json::exception& error) {
    // A syntax error, or a number too large for any type (out_of_range).
    throw DescriptionError("", std::string("not valid JSON: ") + error.what());
  }
  MachineDescription machine;
  Object root(document, "", {"os", "windowsDirectory", "clock", "usb"});
  machine.os = root.Choice<OsFamily>("os",
                                     {{"Windows98", OsFamily::Windows98},
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
  if (root.Has("usb")) {
    Object usbObject(root.At("usb"), root.PathOf("usb"), {"completion", "timing", "controllers"});
    machine.usb.completion =
        usbObject.Choice<usb::CompletionMode>("completion",
                                              {{"asynchronous", usb::CompletionMode::Asynchronous},
                                               {"inline", usb::CompletionMode::Inline}},
                                              usb::CompletionMode::Asynchronous);
    machine.usb.timing = usbObject.Choice<usb::TransferTiming>(
        "timing",
        {{"fullSpeed", usb::TransferTiming::FullSpeed}, {"instant", usb::TransferTiming::Instant}},
        usb::TransferTiming::FullSpeed);
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
