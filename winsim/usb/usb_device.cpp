// winsim: USB device models (see usb_device.h).
#include "usb/usb_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace winsim::usb {

namespace {

void PutWord(std::vector<uint8_t>& bytes, uint16_t value) {
  bytes.push_back(static_cast<uint8_t>(value & 0xFF));
  bytes.push_back(static_cast<uint8_t>(value >> 8));
}

uint8_t StringIndex(const std::vector<std::string>& table, const std::string& text) {
  if (text.empty()) {
    return 0;
  }
  for (size_t i = 1; i < table.size(); ++i) {
    if (table[i] == text) {
      return static_cast<uint8_t>(i);
    }
  }
  return 0;
}

const Failure kStall{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};

}  // namespace

NTSTATUS StatusForUsbd(USBD_STATUS usbdStatus) {
  switch (usbdStatus) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BAD_START_FRAME:
      return STATUS_INVALID_PARAMETER;
    default:
      // Stalls, data errors (CRC, bit stuffing, babble...), no answer: the
      // port driver has no status of its own for them.
      return USBD_ERROR(usbdStatus) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  }
}

std::vector<std::string> StringTable(const DeviceScript& script) {
  std::vector<std::string> table = {"", script.manufacturer, script.product, script.serialNumber};
  auto add = [&table](const std::string& text) {
    if (!text.empty() && StringIndex(table, text) == 0) {
      table.push_back(text);
    }
  };
  add(script.configuration.name);
  for (const InterfaceScript& interface : script.configuration.interfaces) {
    add(interface.name);
  }
  return table;
}

std::vector<uint8_t> BuildDeviceDescriptor(const DeviceScript& script) {
  const std::vector<std::string> strings = StringTable(script);
  std::vector<uint8_t> bytes = {sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE};
  PutWord(bytes, script.bcdUsb);
  bytes.push_back(script.deviceClass);
  bytes.push_back(script.deviceSubClass);
  bytes.push_back(script.deviceProtocol);
  bytes.push_back(script.maxPacketSize0);
  PutWord(bytes, script.vendorId);
  PutWord(bytes, script.productId);
  PutWord(bytes, script.bcdDevice);
  bytes.push_back(script.manufacturer.empty() ? 0 : 1);
  bytes.push_back(script.product.empty() ? 0 : 2);
  bytes.push_back(script.serialNumber.empty() ? 0 : 3);
  bytes.push_back(1);  // bNumConfigurations
  return bytes;
}

std::vector<uint8_t> BuildConfigurationDescriptor(const DeviceScript& script) {
  const std::vector<std::string> strings = StringTable(script);
  const ConfigurationScript& configuration = script.configuration;
  std::vector<uint8_t> bytes = {sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0};
  bytes.push_back(static_cast<uint8_t>(configuration.interfaces.size()));
  bytes.push_back(configuration.value);
  bytes.push_back(StringIndex(strings, configuration.name));
  bytes.push_back(configuration.attributes);
  bytes.push_back(configuration.maxPower);
  for (const InterfaceScript& interface : configuration.interfaces) {
    bytes.insert(bytes.end(),
                 {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, interface.number,
                  interface.alternateSetting, static_cast<uint8_t>(interface.endpoints.size()),
                  interface.interfaceClass, interface.interfaceSubClass,
                  interface.interfaceProtocol, StringIndex(strings, interface.name)});
    for (const EndpointScript& endpoint : interface.endpoints) {
      bytes.insert(bytes.end(), {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                                 endpoint.address, endpoint.attributes});
      PutWord(bytes, endpoint.maxPacketSize);
      bytes.push_back(endpoint.interval);
    }
  }
  const auto total = static_cast<uint16_t>(bytes.size());
  bytes[2] = static_cast<uint8_t>(total & 0xFF);
  bytes[3] = static_cast<uint8_t>(total >> 8);
  return bytes;
}

std::vector<uint8_t> UsbDevice::Cut(std::vector<uint8_t> bytes, uint32_t length) {
  if (bytes.size() > length) {
    bytes.resize(length);
  }
  return bytes;
}

Reply UsbDevice::Failed(const Failure& failure) {
  Reply reply;
  reply.usbdStatus = failure.usbdStatus;
  reply.status = failure.status;
  return reply;
}

UsbDevice::UsbDevice(DeviceScript script) : script_(std::move(script)) {
  for (const DescriptorFault& fault : script_.faults.failDescriptors) {
    descriptorFaultsLeft_.push_back(fault.count);
    descriptorFaultsToSkip_.push_back(fault.skip);
  }
}

std::optional<Reply> UsbDevice::OwnDescriptor(uint8_t, uint8_t, uint32_t) { return std::nullopt; }

Reply UsbDevice::TakeOut(uint8_t, const uint8_t*, uint32_t length) {
  Reply reply;
  reply.bytesMoved = length;
  return reply;
}

std::vector<uint8_t> UsbDevice::DeviceDescriptor() const { return BuildDeviceDescriptor(script_); }

std::vector<uint8_t> UsbDevice::ConfigurationDescriptor() const {
  std::vector<uint8_t> bytes = BuildConfigurationDescriptor(script_);
  if (script_.faults.totalLengthOverride) {
    bytes[2] = static_cast<uint8_t>(*script_.faults.totalLengthOverride & 0xFF);
    bytes[3] = static_cast<uint8_t>(*script_.faults.totalLengthOverride >> 8);
  }
  // The first interface descriptor follows the configuration's own 9 bytes.
  if (script_.faults.firstInterfaceLength && bytes.size() > sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    bytes[sizeof(USB_CONFIGURATION_DESCRIPTOR)] = *script_.faults.firstInterfaceLength;
  }
  const size_t firstEndpoint =
      sizeof(USB_CONFIGURATION_DESCRIPTOR) + sizeof(USB_INTERFACE_DESCRIPTOR);
  if (script_.faults.firstInterfaceEndpoints && bytes.size() > firstEndpoint) {
    bytes[sizeof(USB_CONFIGURATION_DESCRIPTOR) + 4] = *script_.faults.firstInterfaceEndpoints;
  }
  // The first endpoint descriptor follows the first interface's 9 bytes.
  if (script_.faults.firstEndpointLength && bytes.size() > firstEndpoint) {
    bytes[firstEndpoint] = *script_.faults.firstEndpointLength;
  }
  return bytes;
}

std::optional<Failure> UsbDevice::DescriptorFailure(uint8_t type, uint8_t index) {
  const std::vector<DescriptorFault>& faults = script_.faults.failDescriptors;
  for (size_t i = 0; i < faults.size(); ++i) {
    if (faults[i].type != type || (faults[i].index != -1 && faults[i].index != index)) {
      continue;
    }
    if (descriptorFaultsLeft_[i] == 0) {
      continue;
    }
    if (descriptorFaultsToSkip_[i] > 0) {
      --descriptorFaultsToSkip_[i];
      continue;
    }
    if (descriptorFaultsLeft_[i] > 0) {
      --descriptorFaultsLeft_[i];
    }
    return faults[i].failure;
  }
  return std::nullopt;
}

Reply UsbDevice::Record(DeviceRequest request, Reply reply) {
  request.usbdStatus = reply.usbdStatus;
  request.status = reply.status;
  request.completes = !reply.neverCompletes;
  if (request.in) {
    request.data = reply.data;
  }
  requests_.push_back(std::move(request));
  return reply;
}

Reply UsbDevice::GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint32_t length) {
  DeviceRequest request;
  request.kind = RequestKind::GetDescriptor;
  request.descriptorType = type;
  request.descriptorIndex = index;
  request.languageId = languageId;
  request.requestedLength = length;
  request.in = true;
  if (std::optional<Failure> failure = DescriptorFailure(type, index)) {
    return Record(std::move(request), Failed(*failure));
  }
  if (std::optional<Reply> own = OwnDescriptor(type, index, length)) {
    return Record(std::move(request), std::move(*own));
  }
  Reply reply;
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      reply.data = Cut(DeviceDescriptor(), length);
      break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (index != 0) {
        return Record(std::move(request), Failed(kStall));
      } else {
        std::vector<uint8_t> bytes = ConfigurationDescriptor();
        // Reads after the first one (the whole descriptor, as drivers read
        // it second) may come back different.
        const bool later = ++configurationReads_ > 1;
        if (later && script_.faults.secondReadTotalLength) {
          bytes[2] = static_cast<uint8_t>(*script_.faults.secondReadTotalLength & 0xFF);
          bytes[3] = static_cast<uint8_t>(*script_.faults.secondReadTotalLength >> 8);
        }
        bytes = Cut(std::move(bytes), length);
        if (later && script_.faults.secondReadShortBy) {
          const size_t shortBy = std::min<size_t>(*script_.faults.secondReadShortBy, bytes.size());
          bytes.resize(bytes.size() - shortBy);
        }
        reply.data = std::move(bytes);
      }
      break;
    case USB_STRING_DESCRIPTOR_TYPE: {
      std::vector<uint8_t> bytes;
      if (index == 0) {
        bytes = {static_cast<uint8_t>(2 + 2 * script_.languages.size()),
                 USB_STRING_DESCRIPTOR_TYPE};
        for (uint16_t language : script_.languages) {
          PutWord(bytes, language);
        }
      } else {
        const std::vector<std::string> strings = StringTable(script_);
        if (index >= strings.size() || strings[index].empty()) {
          return Record(std::move(request), Failed(kStall));
        }
        const std::string& text = strings[index];
        const size_t characters =
            std::min<size_t>(text.size(), (MAXIMUM_USB_STRING_LENGTH - 2) / 2);
        bytes = {static_cast<uint8_t>(2 + 2 * characters), USB_STRING_DESCRIPTOR_TYPE};
        for (size_t i = 0; i < characters; ++i) {
          PutWord(bytes, static_cast<uint8_t>(text[i]));
        }
        for (const OddString& odd : script_.faults.oddStrings) {
          if (odd.index == index) {
            bytes.resize(std::max<size_t>(odd.bLength, 2), 0);
            bytes[0] = odd.bLength;
          }
        }
      }
      reply.data = Cut(std::move(bytes), length);
      break;
    }
    default:
      return Record(std::move(request), Failed(kStall));
  }
  return Record(std::move(request), std::move(reply));
}

Reply UsbDevice::SelectConfiguration(bool configure) {
  DeviceRequest request;
  request.kind = configure ? RequestKind::SelectConfiguration : RequestKind::Deconfigure;
  if (configure && script_.faults.failSelectConfiguration) {
    return Record(std::move(request), Failed(*script_.faults.failSelectConfiguration));
  }
  configured_ = configure;
  return Record(std::move(request), Reply{});
}

Reply UsbDevice::ResetPipe(uint8_t endpoint) {
  DeviceRequest request;
  request.kind = RequestKind::ResetPipe;
  request.endpoint = endpoint;
  ++resets_;
  const std::vector<uint32_t>& failing = script_.faults.failResetPipes;
  if (std::find(failing.begin(), failing.end(), resets_) != failing.end()) {
    return Record(std::move(request), Failed(script_.faults.resetPipeFailure));
  }
  return Record(std::move(request), Reply{});
}

Reply UsbDevice::Transfer(uint8_t endpoint, bool in, const uint8_t* out, uint32_t length,
                          bool shortOk) {
  DeviceRequest request;
  request.kind = RequestKind::Transfer;
  request.endpoint = endpoint;
  request.in = in;
  request.requestedLength = length;
  if (!in && length > 0) {
    request.data.assign(out, out + length);
  }
  const uint32_t ordinal = ++transfers_;
  const Faults& faults = script_.faults;
  for (const TransferFault& fault : faults.failSubmissions) {
    if (fault.transfer == ordinal) {
      Reply reply = Failed(fault.failure);
      reply.failsAtSubmission = true;
      return Record(std::move(request), std::move(reply));
    }
  }
  if (std::find(faults.neverCompleteTransfers.begin(), faults.neverCompleteTransfers.end(),
                ordinal) != faults.neverCompleteTransfers.end()) {
    Reply reply;
    reply.neverCompletes = true;
    return Record(std::move(request), std::move(reply));
  }
  if (faults.surpriseRemovalAtTransfer && *faults.surpriseRemovalAtTransfer == ordinal) {
    Reply reply = Failed({USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED});
    reply.after.leaveNow = true;
    return Record(std::move(request), std::move(reply));
  }
  for (const TransferFault& fault : faults.failTransfers) {
    if (fault.transfer == ordinal) {
      return Record(std::move(request), Failed(fault.failure));
    }
  }
  Reply reply;
  if (in) {
    // Nothing to send: a zero-length packet ends the transfer early.
    if (length > 0 && !shortOk) {
      reply = Failed({USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL});
    }
  } else {
    reply = TakeOut(endpoint, out, length);
  }
  return Record(std::move(request), std::move(reply));
}

void UsbDevice::RecordAbandoned(size_t requestIndex, USBD_STATUS usbdStatus, NTSTATUS status) {
  if (requestIndex < requests_.size()) {
    requests_[requestIndex].usbdStatus = usbdStatus;
    requests_[requestIndex].status = status;
  }
}

UsbTreeScript SinglePortTree(PortScript port, CompletionMode completion) {
  ControllerScript controller;
  controller.rootPorts = {std::move(port)};
  UsbTreeScript tree;
  tree.controllers = {std::move(controller)};
  tree.completion = completion;
  return tree;
}

}  // namespace winsim::usb
