// winsim: host-controller and hub answers (see hub_answers.h).
#include "usb/hub_answers.h"

#include <algorithm>
#include <cstring>

namespace winsim::usb {

namespace {

void PutUlong(uint8_t* at, ULONG value) { std::memcpy(at, &value, sizeof(value)); }

}  // namespace

Answer AnswerName(uint8_t* buffer, ULONG outputLength, ULONG nameOffset, std::u16string_view name) {
  // The fixed part holds ActualLength and room for one character.
  if (outputLength < nameOffset + sizeof(WCHAR)) {
    return {STATUS_BUFFER_TOO_SMALL, 0};
  }
  const ULONG whole = nameOffset + static_cast<ULONG>((name.size() + 1) * sizeof(WCHAR));
  PutUlong(buffer + nameOffset - sizeof(ULONG), whole);
  const size_t room = (outputLength - nameOffset) / sizeof(WCHAR);
  const size_t copied = std::min(room, name.size() + 1);
  for (size_t i = 0; i < copied; ++i) {
    const char16_t c = i < name.size() ? name[i] : u'\0';
    std::memcpy(buffer + nameOffset + i * sizeof(WCHAR), &c, sizeof(WCHAR));
  }
  return {STATUS_SUCCESS, nameOffset + static_cast<ULONG>(copied * sizeof(WCHAR))};
}

Answer AnswerNodeInformation(uint8_t* buffer, ULONG outputLength, uint8_t ports, bool busPowered) {
  if (outputLength < sizeof(USB_NODE_INFORMATION)) {
    return {STATUS_BUFFER_TOO_SMALL, 0};
  }
  USB_NODE_INFORMATION node = {};
  node.NodeType = UsbHub;
  USB_HUB_DESCRIPTOR& hub = node.u.HubInformation.HubDescriptor;
  hub.bDescriptorLength = 9;
  hub.bDescriptorType = USB_20_HUB_DESCRIPTOR_TYPE;
  hub.bNumberOfPorts = ports;
  hub.wHubCharacteristics = 0x0009;  // per-port power switching and overcurrent
  hub.bPowerOnToPowerGood = 50;
  hub.bHubControlCurrent = busPowered ? 100 : 0;
  node.u.HubInformation.HubIsBusPowered = busPowered;
  std::memcpy(buffer, &node, sizeof(node));
  return {STATUS_SUCCESS, sizeof(node)};
}

Answer AnswerConnectionInformation(uint8_t* buffer, ULONG outputLength, const PortView& port) {
  if (outputLength < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
    return {STATUS_BUFFER_TOO_SMALL, 0};
  }
  USB_NODE_CONNECTION_INFORMATION info = {};
  std::memcpy(&info.ConnectionIndex, buffer, sizeof(info.ConnectionIndex));
  if (port.deviceDescriptor.size() == sizeof(info.DeviceDescriptor)) {
    std::memcpy(&info.DeviceDescriptor, port.deviceDescriptor.data(),
                sizeof(info.DeviceDescriptor));
  }
  info.CurrentConfigurationValue = port.configurationValue;
  info.LowSpeed = port.lowSpeed;
  info.DeviceIsHub = port.deviceIsHub;
  info.DeviceAddress = port.deviceAddress;
  info.NumberOfOpenPipes = static_cast<ULONG>(port.openPipes.size());
  info.ConnectionStatus = port.status;
  std::memcpy(buffer, &info, sizeof(info));
  ULONG written = sizeof(info);
  for (const std::vector<uint8_t>& endpoint : port.openPipes) {
    if (outputLength - written < sizeof(USB_PIPE_INFO)) {
      break;
    }
    USB_PIPE_INFO pipe = {};
    std::memcpy(&pipe.EndpointDescriptor, endpoint.data(),
                std::min(endpoint.size(), sizeof(pipe.EndpointDescriptor)));
    std::memcpy(buffer + written, &pipe, sizeof(pipe));
    written += sizeof(pipe);
  }
  return {STATUS_SUCCESS, written};
}

}  // namespace winsim::usb
