// winsim: the USB bus's host controllers and hubs answering their
// published control codes (see usb_bus.h); a descriptor request a hub
// forwards goes to the port's device and takes its frames on the bus.
#include <cstring>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "usb/hub_answers.h"
#include "usb/usb_bus_state.h"

namespace winsim::usb {

namespace {

const char* IoctlName(ULONG code) {
  switch (code) {
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      return "IOCTL_USB_GET_ROOT_HUB_NAME/NODE_INFORMATION";
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
      return "IOCTL_GET_HCD_DRIVERKEY_NAME";
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      return "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME";
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION";
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      return "IOCTL_USB_GET_NODE_CONNECTION_NAME";
    case IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION:
      return "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION";
    default:
      return "IOCTL (unknown to the hub)";
  }
}

}  // namespace

NTSTATUS UsbBus::State::HostControllerControl(Controller& controller, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  Answer answer{STATUS_INVALID_DEVICE_REQUEST, 0};
  if (code == IOCTL_USB_GET_ROOT_HUB_NAME) {
    answer = AnswerName(buffer, outputLength, offsetof(USB_ROOT_HUB_NAME, RootHubName),
                        kernel::Widen(controller.rootHub->name));
  } else if (code == IOCTL_GET_HCD_DRIVERKEY_NAME) {
    answer = AnswerName(buffer, outputLength, offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName),
                        kernel::Widen(controller.driverKey));
  }
  LogUrb(std::string("host controller ") + IoctlName(code),
         {{"controller", Format("%u", controller.number)},
          {"status", kernel::StatusText(answer.status)},
          {"information", Format("%u", answer.information)}});
  return Complete(irp, answer.status, answer.information);
}

NTSTATUS UsbBus::State::HubControl(Hub& hub, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  Answer answer{STATUS_INVALID_DEVICE_REQUEST, 0};
  std::vector<std::pair<std::string, std::string>> fields = {{"hub", hub.name}};
  AfterRequest after;
  Port* port = nullptr;
  uint32_t frames = 0;  // on the bus: a descriptor request to the port's device
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;  // and how it ended there
  std::vector<uint8_t> inData;

  // Every request but the node information names a port in its first ULONG.
  auto portOf = [&]() -> Port* {
    if (inputLength < sizeof(ULONG)) {
      return nullptr;
    }
    ULONG index = 0;
    std::memcpy(&index, buffer, sizeof(index));
    fields.emplace_back("port", Format("%u", index));
    return index >= 1 && index <= hub.ports.size() ? hub.ports[index - 1].get() : nullptr;
  };

  if (code == IOCTL_USB_GET_NODE_INFORMATION) {
    answer = AnswerNodeInformation(buffer, outputLength, static_cast<uint8_t>(hub.ports.size()),
                                   hub.upstream != nullptr);
  } else if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
    if (outputLength < sizeof(USB_NODE_CONNECTION_INFORMATION)) {
      answer = {STATUS_BUFFER_TOO_SMALL, 0};
    } else if ((port = portOf()) == nullptr) {
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else {
      PortView view;
      view.status = port->status;
      const UsbDevice* device = port->device;
      if (device != nullptr) {
        view.deviceIsHub = device->IsHub();
        view.lowSpeed = device->Script().lowSpeed;
        view.deviceDescriptor = device->DeviceDescriptor();
        view.configurationValue =
            port->pipes.empty() && !device->Configured() && !device->StartsConfigured()
                ? 0
                : device->Script().configuration.value;
        view.deviceAddress = port->address;
        view.openPipes = OpenPipes(*port);
      }
      answer = AnswerConnectionInformation(buffer, outputLength, view);
    }
  } else if (code == IOCTL_USB_GET_NODE_CONNECTION_NAME) {
    if ((port = portOf()) == nullptr) {
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else {
      const std::string name = port->childHub ? port->childHub->name : std::string();
      answer = AnswerName(buffer, outputLength, offsetof(USB_NODE_CONNECTION_NAME, NodeName),
                          kernel::Widen(name));
    }
  } else if (code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) {
    if ((port = portOf()) == nullptr || port->node == nullptr || port->device == nullptr ||
        port->status != DeviceConnected) {
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else if (const std::string& key = pnp::Properties(port->node).driverKey; key.empty()) {
      // No driver installed: there is no key to name.
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else {
      answer = AnswerName(buffer, outputLength,
                          offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName),
                          kernel::Widen(key));
    }
  } else if (code == IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION) {
    USB_DESCRIPTOR_REQUEST request = {};
    if (inputLength < sizeof(request) || outputLength < sizeof(request)) {
      answer = {STATUS_BUFFER_TOO_SMALL, 0};
    } else if ((port = portOf()) == nullptr) {
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else if (port->device == nullptr || port->status != DeviceConnected) {
      // The port is empty (or its device never enumerated): the hub has no
      // device to address, and says the request names none.
      answer = {STATUS_INVALID_PARAMETER, 0};
    } else if (std::memcpy(&request, buffer, sizeof(request));
               request.SetupPacket.wLength > outputLength - sizeof(request)) {
      // The hub refuses to ask for more than the caller has room for.
      fields.emplace_back("wLength", Format("%u", request.SetupPacket.wLength));
      answer = {STATUS_BUFFER_TOO_SMALL, 0};
    } else {
      const uint8_t type = static_cast<uint8_t>(request.SetupPacket.wValue >> 8);
      const uint8_t index = static_cast<uint8_t>(request.SetupPacket.wValue & 0xFF);
      const uint32_t length = request.SetupPacket.wLength;
      CaptureHubRequest(*port, irp, request);
      Reply reply = port->device->GetDescriptor(type, index, request.SetupPacket.wIndex, length);
      usbdStatus = reply.usbdStatus;
      inData = reply.data;
      fields.emplace_back("wValue", Format("0x%04X", request.SetupPacket.wValue));
      fields.emplace_back("wLength", Format("%u", request.SetupPacket.wLength));
      fields.emplace_back("usbdStatus", kernel::StatusText(reply.usbdStatus));
      if (NT_SUCCESS(reply.status)) {
        CopyReplyData(buffer + sizeof(request), reply);
        answer = {STATUS_SUCCESS, static_cast<ULONG>(sizeof(request) + reply.data.size())};
        fields.emplace_back("data", Hex(reply.data.data(), reply.data.size()));
      } else {
        answer = {reply.status, 0};
      }
      after = reply.after;
      frames = FullSpeedFrames(TransferType::Control, static_cast<uint32_t>(reply.data.size()),
                               port->device->Script().maxPacketSize0);
    }
  }
  fields.emplace_back("status", kernel::StatusText(answer.status));
  fields.emplace_back("information", Format("%u", answer.information));
  LogUrb(std::string("hub ") + IoctlName(code), std::move(fields));
  // Only a descriptor request goes out on the bus (a control transfer) and
  // completes when its frames are over; the hub answers the others from
  // what it knows.
  if (const VirtualTime busTime = port != nullptr ? BusTime(*port, frames) : 0; busTime > 0) {
    IoMarkIrpPending(irp);
    Ground::Current().Sched().Schedule(busTime, "usb: hub request's frames over",
                                       [this, irp, answer, port, after, usbdStatus, inData] {
                                         CaptureComplete(irp, usbdStatus, inData);
                                         Complete(irp, answer.status, answer.information);
                                         After(*port, after);
                                       });
    return STATUS_PENDING;
  }
  CaptureComplete(irp, usbdStatus, inData);
  const NTSTATUS status = Complete(irp, answer.status, answer.information);
  if (port != nullptr) {
    After(*port, after);
  }
  return status;
}

}  // namespace winsim::usb
