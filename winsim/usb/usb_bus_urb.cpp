// winsim: the USB port driver's URBs (IOCTL_INTERNAL_USB_SUBMIT_URB to a
// device's PDO; see usb_bus.h): a table of one handler per URB function,
// the transfers' time on the bus and their completion.
#include <usbdi.h>
#include <usbdlib.h>

#include <cstring>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "usb/usb_bus_state.h"

namespace winsim::usb {

namespace {

// The port driver's handle of a pipe is its Pipe's address.
Pipe* PipeOfHandle(Port& port, USBD_PIPE_HANDLE handle) {
  for (auto& pipe : port.pipes) {
    if (pipe.get() == handle) {
      return pipe.get();
    }
  }
  return nullptr;
}

void ClosePipes(Port& port) {
  for (auto& pipe : port.pipes) port.closedPipes.push_back(std::move(pipe));
  port.pipes.clear();
}

// The buffer a URB describes: its MDL's system address, else the buffer.
// refused: the MDL is shorter than length, or describes no resident pages
// (a verifier finding, named after what).
uint8_t* TransferBufferOf(PVOID buffer, PMDL mdl, ULONG length, bool* refused,
                          const std::string& what) {
  *refused = false;
  if (mdl != nullptr) {
    if (MmGetMdlByteCount(mdl) < length ||
        !kernel::CheckMdlResident(mdl, kernel::CurrentPlace() + " " + what)) {
      *refused = true;
      return nullptr;
    }
    return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  }
  return static_cast<uint8_t*>(buffer);
}

// Cancel routine of a transfer the device keeps pending: as Windows' port
// driver does, it completes the URB with USBD_STATUS_CANCELED and the IRP
// with STATUS_CANCELLED. Called with the cancel spin lock held.
VOID NTAPI CancelHeldTransfer(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* extension = static_cast<Extension*>(device->DeviceExtension);
  auto* port = static_cast<Port*>(extension->object);
  for (auto it = port->held.begin(); it != port->held.end(); ++it) {
    if (it->first == irp) {
      if (port->device != nullptr) {
        port->history.back()->RecordAbandoned(it->second, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      }
      port->held.erase(it);
      break;
    }
  }
  LogUrb("transfer cancelled", {{"port", port->path}});
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  // No longer pending on its pipe (which a reset may then clear).
  Pipe* pipe = PipeOfHandle(*port, urb->UrbBulkOrInterruptTransfer.PipeHandle);
  if (pipe != nullptr && port->bus->completion != CompletionMode::Inline && pipe->pending > 0) {
    --pipe->pending;
  }
  urb->UrbHeader.Status = USBD_STATUS_CANCELED;
  port->bus->CaptureComplete(irp, USBD_STATUS_CANCELED);
  Complete(irp, STATUS_CANCELLED);
}

Reply Invalid(USBD_STATUS usbdStatus) {
  Reply reply;
  reply.usbdStatus = usbdStatus;
  reply.status = StatusForUsbd(usbdStatus);
  reply.failsAtSubmission = true;
  return reply;
}

}  // namespace

VirtualTime UsbBus::State::BusTime(Port& port, uint32_t frames) {
  if (tree.timing == TransferTiming::Instant || completion == CompletionMode::Inline ||
      frames == 0) {
    return 0;
  }
  Controller& controller = *port.hub->controller;
  const VirtualTime now = Ground::Current().Sched().Now();
  const VirtualTime start = controller.busyUntil > now ? controller.busyUntil : now;
  controller.busyUntil = start + frames * kFullSpeedFrame;
  return controller.busyUntil - now;
}

Pipe* UsbBus::State::FindPipe(Port& port, uint64_t id) {
  for (auto& pipe : port.pipes) {
    if (pipe->id == id) {
      return pipe.get();
    }
  }
  return nullptr;
}

NTSTATUS UsbBus::State::Finish(Port& port, PIRP irp, PURB urb, Reply reply, const std::string& what,
                               uint32_t frames, uint64_t pipe) {
  if (Pipe* transferPipe = pipe != 0 ? FindPipe(port, pipe) : nullptr) {
    // A transfer the device answered with an error halts its endpoint (a
    // device that left, or a cancelled transfer, does not).
    if (!reply.failsAtSubmission && !reply.neverCompletes && USBD_ERROR(reply.usbdStatus) &&
        reply.usbdStatus != USBD_STATUS_DEVICE_GONE && reply.usbdStatus != USBD_STATUS_CANCELED) {
      transferPipe->halted = true;
    }
    if (!reply.failsAtSubmission && completion != CompletionMode::Inline) {
      ++transferPipe->pending;  // until it completes (or its pipe goes)
    }
  }
  CaptureSubmit(irp);
  if (reply.neverCompletes) {
    LogUrb(what, {{"port", port.path}, {"status", "held (the device does not answer)"}});
    IoMarkIrpPending(irp);
    port.held.emplace_back(irp, port.device->Requests().size() - 1);
    // A held transfer can be cancelled; one cancelled before it got here is
    // cancelled at once.
    IoSetCancelRoutine(irp, CancelHeldTransfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      irp->CancelIrql = irql;
      CancelHeldTransfer(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
    }
    return STATUS_PENDING;
  }
  LogUrb(what,
         {{"port", port.path},
          {"usbdStatus", kernel::StatusText(reply.usbdStatus)},
          {"status", kernel::StatusText(reply.status)},
          {"completion",
           reply.failsAtSubmission || completion == CompletionMode::Inline ? "inline" : "DPC"}});
  if (reply.failsAtSubmission || completion == CompletionMode::Inline) {
    urb->UrbHeader.Status = reply.usbdStatus;
    CaptureComplete(irp, reply.usbdStatus, reply.data);
    const NTSTATUS status = Complete(irp, reply.status);
    After(port, reply.after);
    return status;
  }
  IoMarkIrpPending(irp);
  Port* target = &port;
  auto complete = [this, target, irp, urb, reply, pipe] {
    kernel::QueueDpc("usb: URB completion", [this, target, irp, urb, reply, pipe] {
      if (Pipe* transferPipe = pipe != 0 ? FindPipe(*target, pipe) : nullptr) {
        --transferPipe->pending;
      }
      urb->UrbHeader.Status = reply.usbdStatus;
      CaptureComplete(irp, reply.usbdStatus, reply.data);
      Complete(irp, reply.status);
      After(*target, reply.after);
    });
  };
  const VirtualTime busTime = BusTime(port, frames);
  if (busTime == 0) {
    complete();
    return STATUS_PENDING;
  }
  // The transfer's frames: it completes when they are over, unless the
  // device leaves first (Leave then completes it).
  const uint64_t number = nextTransfer++;
  port.onTheBus.push_back({number, irp, port.device->Requests().size() - 1});
  Ground::Current().Sched().Schedule(
      busTime, "usb: transfer's frames over", [target, number, complete] {
        auto& onTheBus = target->onTheBus;
        for (auto it = onTheBus.begin(); it != onTheBus.end(); ++it) {
          if (it->number == number) {
            onTheBus.erase(it);
            complete();
            return;
          }
        }
      });
  return STATUS_PENDING;
}

namespace {

// The URB functions the port driver carries out, one handler each.
struct UrbHandler {
  USHORT function;
  const char* name;
  NTSTATUS (UsbBus::State::*handle)(Port& port, PIRP irp, PURB urb, std::string& what);
};

constexpr UrbHandler kUrbHandlers[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, "URB_FUNCTION_SELECT_CONFIGURATION",
     &UsbBus::State::UrbSelectConfiguration},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
     &UsbBus::State::UrbBulkOrInterruptTransfer},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE",
     &UsbBus::State::UrbGetDescriptor},
    {URB_FUNCTION_RESET_PIPE, "URB_FUNCTION_RESET_PIPE", &UsbBus::State::UrbResetPipe},
};

}  // namespace

NTSTATUS UsbBus::State::SubmitUrb(Port& port, PIRP irp) {
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb == nullptr) {
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  const USHORT function = urb->UrbHeader.Function;
  const UrbHandler* handler = nullptr;
  for (const UrbHandler& candidate : kUrbHandlers) {
    if (candidate.function == function) {
      handler = &candidate;
    }
  }
  std::string what = handler != nullptr ? handler->name : "URB_FUNCTION (not supported)";
  CaptureUrb(port, irp, urb);
  if (port.device == nullptr || port.status != DeviceConnected) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    CaptureSubmit(irp);
    CaptureComplete(irp, USBD_STATUS_DEVICE_GONE);
    LogUrb(what,
           {{"port", port.path}, {"status", kernel::StatusText(STATUS_DEVICE_NOT_CONNECTED)}});
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (port.power > PowerDeviceD0) {
    // The hub answers for the suspended port at once; the URB's own status
    // is left as the caller set it.
    CaptureSubmit(irp);
    CaptureComplete(irp, urb->UrbHeader.Status);
    LogUrb(what, {{"port", port.path}, {"status", kernel::StatusText(STATUS_DEVICE_POWERED_OFF)}});
    return Complete(irp, STATUS_DEVICE_POWERED_OFF);
  }
  if (handler == nullptr) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_URB_FUNCTION), what);
  }
  return (this->*handler->handle)(port, irp, urb, what);
}

NTSTATUS UsbBus::State::UrbGetDescriptor(Port& port, PIRP irp, PURB urb, std::string& what) {
  UsbDevice& device = *port.device;
  auto& request = urb->UrbControlDescriptorRequest;
  what += Format(" type %u index %u length %u", request.DescriptorType, request.Index,
                 request.TransferBufferLength);
  bool refused = false;
  uint8_t* buffer = TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL,
                                     request.TransferBufferLength, &refused, what);
  if (refused || (buffer == nullptr && request.TransferBufferLength > 0)) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
  }
  Reply reply = device.GetDescriptor(request.DescriptorType, request.Index, request.LanguageId,
                                     request.TransferBufferLength);
  request.TransferBufferLength = 0;
  if (NT_SUCCESS(reply.status)) {
    CopyReplyData(buffer, reply);
    request.TransferBufferLength = static_cast<ULONG>(reply.data.size());
    what += " -> " + Hex(reply.data.data(), reply.data.size());
  }
  const uint32_t frames =
      FullSpeedFrames(TransferType::Control, static_cast<uint32_t>(reply.data.size()),
                      device.Script().maxPacketSize0);
  return Finish(port, irp, urb, std::move(reply), what, frames);
}

NTSTATUS UsbBus::State::UrbSelectConfiguration(Port& port, PIRP irp, PURB urb, std::string& what) {
  UsbDevice& device = *port.device;
  auto& request = urb->UrbSelectConfiguration;
  if (request.ConfigurationDescriptor == nullptr) {
    what += " (deconfigure)";
    Reply reply = device.SelectConfiguration(false);
    ClosePipes(port);
    return Finish(port, irp, urb, std::move(reply), what, kNoDataControlFrames);
  }
  const ConfigurationScript& configuration = device.Script().configuration;
  if (request.ConfigurationDescriptor->bConfigurationValue != configuration.value) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR), what);
  }
  // The interface informations follow one another up to the URB's length.
  std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceScript*>> chosen;
  auto* at = reinterpret_cast<uint8_t*>(&request.Interface);
  const uint8_t* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
  const size_t minimum = GET_USBD_INTERFACE_SIZE(0);
  while (static_cast<size_t>(end - at) >= minimum &&
         chosen.size() < request.ConfigurationDescriptor->bNumInterfaces) {
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (information->Length < minimum || information->Length > end - at) {
      break;
    }
    const InterfaceScript* found = nullptr;
    for (const InterfaceScript& interface : configuration.interfaces) {
      if (interface.number == information->InterfaceNumber &&
          interface.alternateSetting == information->AlternateSetting) {
        found = &interface;
        break;
      }
    }
    if (found == nullptr) {
      return Finish(port, irp, urb, Invalid(USBD_STATUS_INTERFACE_NOT_FOUND), what);
    }
    if ((information->Length - minimum) / sizeof(USBD_PIPE_INFORMATION) < found->endpoints.size()) {
      return Finish(port, irp, urb, Invalid(USBD_STATUS_BUFFER_TOO_SMALL), what);
    }
    chosen.emplace_back(information, found);
    at += information->Length;
  }
  if (chosen.empty()) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
  }
  Reply reply = device.SelectConfiguration(true);
  if (NT_SUCCESS(reply.status)) {
    ClosePipes(port);
    for (auto& [information, interface] : chosen) {
      information->Class = interface->interfaceClass;
      information->SubClass = interface->interfaceSubClass;
      information->Protocol = interface->interfaceProtocol;
      information->InterfaceHandle = information;
      information->NumberOfPipes = static_cast<ULONG>(interface->endpoints.size());
      for (size_t i = 0; i < interface->endpoints.size(); ++i) {
        const EndpointScript& endpoint = interface->endpoints[i];
        USBD_PIPE_INFORMATION& pipeInformation = information->Pipes[i];
        std::unique_ptr<Pipe> pipe = Pipe::For(endpoint, nextPipe++);
        pipe->maximumTransferSize = pipeInformation.MaximumTransferSize;
        pipeInformation.MaximumPacketSize = endpoint.maxPacketSize;
        pipeInformation.EndpointAddress = endpoint.address;
        pipeInformation.Interval = endpoint.interval;
        pipeInformation.PipeType =
            static_cast<USBD_PIPE_TYPE>(endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
        pipeInformation.PipeHandle = pipe.get();
        what += Format(" pipe %u endpoint 0x%02X max transfer %u", static_cast<unsigned>(i),
                       endpoint.address, pipe->maximumTransferSize);
        port.pipes.push_back(std::move(pipe));
      }
    }
    request.ConfigurationHandle = &port;
  }
  return Finish(port, irp, urb, std::move(reply), what, kNoDataControlFrames);
}

NTSTATUS UsbBus::State::UrbBulkOrInterruptTransfer(Port& port, PIRP irp, PURB urb,
                                                   std::string& what) {
  UsbDevice& device = *port.device;
  auto& request = urb->UrbBulkOrInterruptTransfer;
  Pipe* pipe = PipeOfHandle(port, request.PipeHandle);
  if (pipe == nullptr) {
    for (const auto& closed : port.closedPipes) {
      if (closed.get() != request.PipeHandle) continue;
      Ground::Current().Verify().Report(
          rule::kPipeClosed, what,
          Format("a transfer on the pipe of endpoint 0x%02X, closed by a select-configuration "
                 "request",
                 closed->Address()));
    }
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PIPE_HANDLE), what);
  }
  const ULONG length = request.TransferBufferLength;
  // The port driver takes the direction of a bulk or interrupt transfer
  // from the endpoint and sets the flag to match, so the client reads
  // back the direction the transfer really had.
  const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->Address()) != 0;
  const bool flagIn = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  what += Format(" endpoint 0x%02X", pipe->Address()) + (in ? " IN" : " OUT") +
          Format(" length %u", length);
  if (in != flagIn) {
    what += " (flags gave the other direction)";
    request.TransferFlags ^= USBD_TRANSFER_DIRECTION_IN;
  }
  // Windows 98 and 2000 hold a transfer to the pipe's MaximumTransferSize;
  // XP's port driver splits what is longer and ignores the field.
  if (Ground::Current().Config().os != OsFamily::WindowsNt && length > pipe->maximumTransferSize) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
  }
  if (pipe->halted) {
    what += " (the endpoint is halted)";
    return Finish(port, irp, urb, Invalid(USBD_STATUS_ENDPOINT_HALTED), what);
  }
  if (length > 0 && request.TransferBuffer == nullptr && request.TransferBufferMDL == nullptr) {
    Ground::Current().Verify().Report(rule::kTransferWithoutBuffer, what,
                                      Format("%u bytes with neither buffer nor MDL", length));
  }
  bool refused = false;
  uint8_t* buffer =
      TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL, length, &refused, what);
  if (refused || (buffer == nullptr && length > 0)) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
  }
  if (auto it = captured.find(irp); it != captured.end() && !in && length > 0) {
    it->second.data.assign(buffer, buffer + length);
  }
  Reply reply = device.Transfer(pipe->Address(), in, buffer, length,
                                (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
  if (in) {
    CopyReplyData(buffer, reply);
    request.TransferBufferLength = static_cast<ULONG>(reply.data.size());
  } else {
    if (length > 0) {
      what += " " + Hex(buffer, length);
    }
    request.TransferBufferLength = reply.bytesMoved;
  }
  const uint32_t frames =
      FullSpeedFrames((pipe->endpoint[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT
                          ? TransferType::Interrupt
                          : TransferType::Bulk,
                      request.TransferBufferLength, pipe->MaxPacketSize(), pipe->endpoint[6]);
  return Finish(port, irp, urb, std::move(reply), what, frames, pipe->id);
}

NTSTATUS UsbBus::State::UrbResetPipe(Port& port, PIRP irp, PURB urb, std::string& what) {
  UsbDevice& device = *port.device;
  Pipe* pipe = PipeOfHandle(port, urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) {
    return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PIPE_HANDLE), what);
  }
  what += Format(" endpoint 0x%02X", pipe->Address());
  if (pipe->pending > 0) {
    // A pipe with a transfer still on it cannot be reset.
    what += Format(" (%u transfer(s) pending)", pipe->pending);
    return Finish(port, irp, urb, Invalid(USBD_STATUS_ERROR_BUSY), what);
  }
  Reply reply = device.ResetPipe(pipe->Address());
  if (NT_SUCCESS(reply.status)) {
    pipe->halted = false;
  }
  return Finish(port, irp, urb, std::move(reply), what, kNoDataControlFrames);
}

}  // namespace winsim::usb
