// winsim: the Q417 device model (see q417.h).
#include "usb/models/q417.h"

#include <algorithm>
#include <any>
#include <cstring>
#include <utility>

#include "usb/description_reader.h"

namespace winsim::usb {

namespace {

constexpr uint8_t kTriggerIndex = 0x55;
constexpr uint32_t kFlashSize = 65536;

const Failure kStall{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
const Failure kCrc{USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR};

using description::json;
using description::Object;

void ReadQ417(const json& item, const std::string& path, Q417Script& q417) {
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
        q417.triggerPattern.push_back(TriggerReply::Stall);
      } else if (text == "crc") {
        q417.triggerPattern.push_back(TriggerReply::Crc);
      } else if (text == "answer") {
        q417.triggerPattern.push_back(TriggerReply::Answer);
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
    Object update(object.At("updateMode"), at, description::DeviceKeys());
    if (update.Has("kind") || update.Has("ports") || update.Has("q417")) {
      throw DescriptionError(at, "the update-mode device takes no \"kind\", \"ports\" or \"q417\"");
    }
    description::ReadDeviceFields(update, q417.updateMode);
  }
  if (object.Has("afterDownload")) {
    Object after(object.At("afterDownload"), object.PathOf("afterDownload"), {"action", "delayMs"});
    q417.leaveAfterDownload =
        after.Choice<bool>("action", {{"stay", false}, {"leave", true}}, false);
    q417.endDelay = after.Integer("delayMs", 0, 3'600'000, 500) * kTicksPerMillisecond;
  }
  if (object.Has("badHeader")) {
    q417.badHeader = description::ReadFailure(object.At("badHeader"), object.PathOf("badHeader"));
  }
  object.Array("failTriggers", 100, [&](const json& element, const std::string& at) {
    // {trigger, usbdStatus, status}: a transfer fault whose ordinal counts signals.
    Object fault(element, at, {"trigger", "usbdStatus", "status"});
    if (!fault.Has("trigger")) {
      throw DescriptionError(at, "missing \"trigger\" (the signal's ordinal, from 1)");
    }
    TransferFault trigger;
    trigger.transfer = description::Ordinal(fault.At("trigger"), fault.PathOf("trigger"));
    json rest = element;
    rest.erase("trigger");
    trigger.failure = description::ReadFailure(rest, at);
    q417.failTriggers.push_back(trigger);
  });
}

}  // namespace

Q417Device::Q417Device(const DeviceScript& normalMode, Q417Script q417, bool updateMode)
    : ConfiguredDevice(updateMode ? q417.updateMode : normalMode),
      normalMode_(normalMode),
      q417_(std::move(q417)),
      updateMode_(updateMode) {
  if (updateMode_) {
    flash_.assign(kFlashSize, 0xFF);
  }
}

std::optional<ReturnAs> Q417Device::AfterPowerLoss() const {
  if (!updateMode_) return std::nullopt;
  ReturnAs back = ComeBack(false);
  back.delay = 0;  // it is there in normal mode when the hub looks at the wake
  back.what = "usb: device lost power and returns in normal mode";
  return back;
}

ReturnAs Q417Device::ComeBack(bool updateMode) const {
  ReturnAs comeBack;
  comeBack.delay = q417_.returnDelay;
  comeBack.what = updateMode ? "usb: device returns in update mode" : "usb: device returns";
  comeBack.make = [normalMode = normalMode_, q417 = q417_, updateMode] {
    return std::make_unique<Q417Device>(normalMode, q417, updateMode);
  };
  return comeBack;
}

std::optional<Reply> Q417Device::OwnDescriptor(uint8_t type, uint8_t index, uint32_t length) {
  if (!updateMode_ && type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == kTriggerIndex) {
    return TriggerReplyFor(length);
  }
  return std::nullopt;
}

Reply Q417Device::TakeOut(uint8_t endpoint, const uint8_t* out, uint32_t length) {
  return updateMode_ ? Download(out, length) : ConfiguredDevice::TakeOut(endpoint, out, length);
}

Reply Q417Device::TriggerReplyFor(uint32_t length) {
  ++triggerRequests_;
  const Q417Script& q417 = q417_;
  const TriggerReply kind =
      q417.triggerPattern.empty()
          ? TriggerReply::Stall
          : q417.triggerPattern[(triggerRequests_ - 1) % q417.triggerPattern.size()];
  Reply reply;
  const auto scripted =
      std::find_if(q417.failTriggers.begin(), q417.failTriggers.end(),
                   [&](const TransferFault& fault) { return fault.transfer == triggerRequests_; });
  if (scripted != q417.failTriggers.end()) {
    reply = Failed(scripted->failure);
  } else if (kind == TriggerReply::Answer) {
    reply.data = Cut(ConfigurationDescriptor(), length);
  } else {
    reply = Failed(kind == TriggerReply::Crc ? kCrc : kStall);
  }
  if (q417.leaveAfterTriggers != 0 && triggerRequests_ == q417.leaveAfterTriggers) {
    reply.after.leaveNow = true;
    reply.after.comeBack = ComeBack(true);
  }
  return reply;
}

Reply Q417Device::Download(const uint8_t* out, uint32_t length) {
  Reply reply;
  reply.bytesMoved = length;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t byte = out[i];
    if (inImage_ && imageReceived_ + 1 < imageLength_) {
      // Image bytes short of the last one go to the flash in one copy.
      const uint32_t take = std::min(length - i, imageLength_ - 1 - imageReceived_);
      std::memcpy(flash_.data() + imageReceived_, out + i, take);
      imageReceived_ += take;
      i += take - 1;
      continue;
    }
    if (!inImage_) {
      header_.push_back(byte);
      if (header_.size() < 5) {
        continue;
      }
      if (header_[0] != 0xEE || header_[1] != 0 || header_[2] != 0) {
        header_.clear();
        Reply failed = Failed(q417_.badHeader);
        failed.bytesMoved = i + 1;
        return failed;
      }
      imageLength_ = (static_cast<uint32_t>(header_[3]) << 8) | header_[4];
      if (imageLength_ == 0) {
        imageLength_ = kFlashSize;
      }
      header_.clear();
      imageReceived_ = 0;
      inImage_ = true;
      continue;
    }
    flash_[imageReceived_++] = byte;
    if (imageReceived_ == imageLength_) {
      inImage_ = false;
      ++downloadsCompleted_;
      if (q417_.leaveAfterDownload) {
        reply.after.leaveAfter = q417_.endDelay;
        reply.after.comeBack = ComeBack(false);
      }
    }
  }
  return reply;
}

const Q417Device* AsQ417(const UsbDevice* device) {
  return dynamic_cast<const Q417Device*>(device);
}

Q417Script* Q417ScriptOf(PortScript& port) { return std::any_cast<Q417Script>(&port.settings); }

const Q417Script* Q417ScriptOf(const PortScript& port) {
  return std::any_cast<Q417Script>(&port.settings);
}

void ReadQ417Section(const description::Object& device, PortScript& port) {
  Q417Script q417;
  q417.updateMode = DefaultQ417UpdateMode();
  if (device.Has("q417")) {
    ReadQ417(device.At("q417"), device.PathOf("q417"), q417);
  }
  port.settings = std::move(q417);
}

std::unique_ptr<UsbDevice> CreateQ417(const PortScript& port) {
  const Q417Script* q417 = Q417ScriptOf(port);
  if (q417 == nullptr) {
    // No Q417 script: a storage device by the Q417's name, no more.
    return std::make_unique<ConfiguredDevice>(*port.device);
  }
  return std::make_unique<Q417Device>(*port.device, *q417, false);
}

DeviceScript DefaultQ417NormalMode() {
  DeviceScript script = DefaultStorage();
  script.model = kQ417Model;
  script.vendorId = 0x0417;
  script.productId = 0x1000;
  script.manufacturer = "Quill";
  script.product = "Q417 Storage";
  script.serialNumber = "Q417-0001";
  script.description = "USB Mass Storage Device";
  return script;
}

DeviceScript DefaultQ417UpdateMode() {
  DeviceScript script;
  script.model = kQ417Model;
  script.vendorId = 0x0417;
  script.productId = 0xF001;
  script.maxPacketSize0 = 64;
  script.manufacturer = "Quill";
  script.product = "Q417 Update Mode";
  script.serialNumber = "Q417-0001";
  InterfaceScript interface;
  interface.interfaceClass = 0xFF;
  interface.endpoints = {{0x01, USB_ENDPOINT_TYPE_BULK, 64, 0},
                         {0x82, USB_ENDPOINT_TYPE_BULK, 64, 0}};
  script.configuration.interfaces = {interface};
  script.description = "Q417 Firmware Update Device";
  return script;
}

}  // namespace winsim::usb
