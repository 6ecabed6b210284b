// winsim: the bus's transfers as a bus capture records them: one
// EventKind::UsbPacket event ("submit" or "complete") per transfer and end,
// with what a capture record holds (see usb_bus_state.h's Captured):
// fields irp, bus, address, endpoint, transfer, function, usbdStatus, and
// setup and data as hexadecimal bytes. quillsim's --pcap writes them out.
#include <usbdi.h>

#include "ground/event_recording.h"
#include "ground/ground.h"
#include "usb/usb_bus_state.h"

namespace winsim::usb {

namespace {

// Every byte (the log's Hex shortens long data).
std::string AllHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  // Written through a pointer: a whole image passes here twice per update.
  std::string text(2 * bytes.size(), '\0');
  char* out = text.data();
  for (const uint8_t* byte = bytes.data(); byte != bytes.data() + bytes.size(); ++byte) {
    *out++ = kDigits[*byte >> 4];
    *out++ = kDigits[*byte & 15];
  }
  return text;
}

std::vector<uint8_t> Setup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                           uint16_t length) {
  return {requestType,
          request,
          static_cast<uint8_t>(value & 0xFF),
          static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(index & 0xFF),
          static_cast<uint8_t>(index >> 8),
          static_cast<uint8_t>(length & 0xFF),
          static_cast<uint8_t>(length >> 8)};
}

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kToEndpoint = 2;  // bmRequestType's recipient

// A transfer to the port's device, as the hub that addresses it knows it.
Captured OnPort(const Port& port, USHORT function) {
  Captured transfer;
  transfer.function = function;
  transfer.bus = static_cast<uint16_t>(port.hub->controller->number);
  transfer.address = port.address;
  return transfer;
}

void Log(PIRP irp, const char* what, const Captured& transfer, USBD_STATUS status,
         const std::vector<uint8_t>& setup, const std::vector<uint8_t>& data) {
  if (!EventRecording()) return;
  std::vector<std::pair<std::string, std::string>> fields = {
      // As the IRP events write it.
      {"irp", Format("0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(irp)))},
      {"bus", Format("%u", transfer.bus)},
      {"address", Format("%u", transfer.address)},
      {"endpoint", Format("0x%02X", transfer.endpoint)},
      {"transfer", transfer.transfer},
      {"function", Format("0x%04X", transfer.function)},
      {"usbdStatus", Format("0x%08X", static_cast<unsigned>(status))}};
  if (!setup.empty()) {
    fields.emplace_back("setup", AllHex(setup));
  }
  if (!data.empty()) {
    fields.emplace_back("data", AllHex(data));
  }
  Ground::Current().Log().Add(EventKind::UsbPacket, what, std::move(fields));
}

}  // namespace

Captured& UsbBus::State::CaptureUrb(Port& port, PIRP irp, PURB urb) {
  Captured transfer = OnPort(port, urb->UrbHeader.Function);
  switch (transfer.function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      const auto& request = urb->UrbControlDescriptorRequest;
      transfer.endpoint = USB_ENDPOINT_DIRECTION_MASK;
      transfer.setup =
          Setup(USB_ENDPOINT_DIRECTION_MASK, kGetDescriptor,
                static_cast<uint16_t>(request.DescriptorType << 8 | request.Index),
                request.LanguageId, static_cast<uint16_t>(request.TransferBufferLength));
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      const auto* descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
      transfer.setup = Setup(0, kSetConfiguration,
                             descriptor != nullptr ? descriptor->bConfigurationValue : 0, 0, 0);
      break;
    }
    case URB_FUNCTION_RESET_PIPE:
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      const USBD_PIPE_HANDLE handle = transfer.function == URB_FUNCTION_RESET_PIPE
                                          ? urb->UrbPipeRequest.PipeHandle
                                          : urb->UrbBulkOrInterruptTransfer.PipeHandle;
      const Pipe* pipe = nullptr;
      for (const auto& candidate : port.pipes) {
        if (candidate.get() == handle) pipe = candidate.get();
      }
      if (pipe == nullptr) {
        transfer.transfer = "other";  // no endpoint to name
      } else if (transfer.function == URB_FUNCTION_RESET_PIPE) {
        // On the bus: CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint.
        transfer.setup = Setup(kToEndpoint, kClearFeature, 0, pipe->Address(), 0);
      } else {
        transfer.endpoint = pipe->Address();
        transfer.transfer =
            (pipe->endpoint[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT
                ? "interrupt"
                : "bulk";
      }
      break;
    }
    default:
      transfer.transfer = "other";
      break;
  }
  return captured[irp] = std::move(transfer);
}

void UsbBus::State::CaptureHubRequest(Port& port, PIRP irp, const USB_DESCRIPTOR_REQUEST& request) {
  // The hub sends the caller's wValue, wIndex and wLength as a standard
  // GET_DESCRIPTOR whatever bmRequest and bRequest the caller left.
  Captured transfer = OnPort(port, URB_FUNCTION_CONTROL_TRANSFER);
  transfer.endpoint = USB_ENDPOINT_DIRECTION_MASK;
  transfer.setup = Setup(USB_ENDPOINT_DIRECTION_MASK, kGetDescriptor, request.SetupPacket.wValue,
                         request.SetupPacket.wIndex, request.SetupPacket.wLength);
  captured[irp] = std::move(transfer);
  CaptureSubmit(irp);
}

void UsbBus::State::CaptureSubmit(PIRP irp) {
  auto it = captured.find(irp);
  if (it == captured.end()) {
    return;
  }
  Log(irp, "submit", it->second, USBD_STATUS_SUCCESS, it->second.setup, it->second.data);
  it->second.data.clear();
}

void UsbBus::State::CaptureComplete(PIRP irp, USBD_STATUS status,
                                    const std::vector<uint8_t>& data) {
  auto it = captured.find(irp);
  if (it == captured.end()) {
    return;
  }
  Log(irp, "complete", it->second, status, {}, data);
  captured.erase(it);
}

}  // namespace winsim::usb
