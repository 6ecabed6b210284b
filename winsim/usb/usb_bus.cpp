// winsim: the USB bus (see usb_bus.h). One source for the bus driver's
// dispatch routines (host controllers, hubs, device PDOs) and the tree.
#include "usb/usb_bus.h"

#include <usbdi.h>
#include <usbdlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "pnp/pnp_manager.h"
#include "usb/bus_timing.h"
#include "usb/hub_answers.h"

namespace winsim::usb {

namespace {

constexpr char kUsbClassKey[] = "{36FC9E60-C465-11CF-8056-444553540000}";
constexpr char kHubInterface[] = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

enum class Role { HostController, Hub, Device };

struct Hub;
struct Controller;

// A pipe of the selected configuration; its address is the pipe handle.
struct Pipe {
  std::vector<uint8_t> endpoint;  // the endpoint descriptor
  ULONG maximumTransferSize = 0;
  uint64_t id = 0;  // unique on the bus: completions find their pipe by it
  // A transfer that failed on the bus halted the endpoint: transfers fail
  // until URB_FUNCTION_RESET_PIPE clears it.
  bool halted = false;
  uint32_t pending = 0;  // transfers submitted and not yet completed
  uint8_t Address() const { return endpoint[2]; }
  uint16_t MaxPacketSize() const { return static_cast<uint16_t>(endpoint[4] | endpoint[5] << 8); }
};

// SET_CONFIGURATION, CLEAR_FEATURE (a pipe's reset): setup and status.
constexpr uint32_t kNoDataControlFrames = FullSpeedFrames(TransferType::Control, 0, 0);

struct Port {
  UsbBus::State* bus = nullptr;
  Hub* hub = nullptr;
  uint32_t number = 0;
  std::string path;
  USB_CONNECTION_STATUS status = NoDeviceConnected;
  PortScript script;
  std::vector<std::unique_ptr<UsbDevice>> history;
  UsbDevice* device = nullptr;  // the present device (last of history)
  std::unique_ptr<Hub> childHub;
  PDEVICE_OBJECT pdo = nullptr;
  pnp::DeviceNode* node = nullptr;
  std::vector<std::unique_ptr<Pipe>> pipes;
  uint16_t address = 0;
  // Transfers the script keeps pending, with their request's record.
  std::vector<std::pair<PIRP, size_t>> held;
  // The device's power state as its last device set-power request left it.
  // Below D0 the port is suspended: no traffic reaches the device, and the
  // hub fails every URB sent to it with STATUS_DEVICE_POWERED_OFF.
  DEVICE_POWER_STATE power = PowerDeviceD0;
  // Transfers still on the bus (their frames not yet over), by number.
  struct OnTheBus {
    uint64_t number;
    PIRP irp;
    size_t request;
  };
  std::vector<OnTheBus> onTheBus;
};

struct Hub {
  Controller* controller = nullptr;
  Port* upstream = nullptr;  // null for a root hub
  PDEVICE_OBJECT device = nullptr;
  std::string name;  // symbolic name without "\\.\"
  pnp::DeviceNode* node = nullptr;
  std::vector<std::unique_ptr<Port>> ports;
};

struct Controller {
  uint32_t number = 0;
  ControllerScript script;
  PDEVICE_OBJECT device = nullptr;
  std::string driverKey;
  pnp::DeviceNode* node = nullptr;
  std::unique_ptr<Hub> rootHub;
  // The end of the last frame taken by a transfer (transfers queue).
  VirtualTime busyUntil = 0;
};

// Every device object of the bus carries this as its extension.
struct Extension {
  Role role;
  void* object;
  UsbBus::State* bus;
};

std::string Hex(const void* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const uint8_t*>(data);
  const size_t shown = length > 64 ? 64 : length;
  std::string text(2 * shown, '\0');
  for (size_t i = 0; i < shown; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  if (shown < length) {
    text += "...";
  }
  return text;
}

// The device's IN data into the caller's buffer (already cut to the length
// asked for). An empty reply copies nothing: memcpy from the empty vector's
// null data is undefined even for 0 bytes, and buffer may be null then too.
void CopyReplyData(uint8_t* buffer, const Reply& reply) {
  if (!reply.data.empty()) {
    std::memcpy(buffer, reply.data.data(), reply.data.size());
  }
}

// printf-style formatting; the compiler checks the arguments against the
// format.
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
  char text[128];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof(text), format, arguments);
  va_end(arguments);
  return text;
}

void LogUrb(std::string text, std::vector<std::pair<std::string, std::string>> fields) {
  Machine::Current().Log().Add(EventKind::Urb, std::move(text), std::move(fields));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PDEVICE_OBJECT CreateDeviceObject(UsbBus::State* bus, PDRIVER_OBJECT driver,
                                  const std::string& name, DEVICE_TYPE type, Role role,
                                  void* object) {
  const std::u16string wide = kernel::Widen(name);
  UNICODE_STRING unicode = kernel::MakeUnicodeString(wide);
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(Extension), &unicode, type, 0, FALSE, &device))) {
    return nullptr;
  }
  *static_cast<Extension*>(device->DeviceExtension) = Extension{role, object, bus};
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return device;
}

void CreateLink(const std::string& link, const std::string& target) {
  const std::u16string wideLink = kernel::Widen(link);
  const std::u16string wideTarget = kernel::Widen(target);
  UNICODE_STRING linkName = kernel::MakeUnicodeString(wideLink);
  UNICODE_STRING targetName = kernel::MakeUnicodeString(wideTarget);
  IoCreateSymbolicLink(&linkName, &targetName);
}

void DeleteLink(const std::string& link) {
  const std::u16string wide = kernel::Widen(link);
  UNICODE_STRING name = kernel::MakeUnicodeString(wide);
  IoDeleteSymbolicLink(&name);
}

std::vector<std::vector<uint8_t>> OpenPipes(const Port& port) {
  std::vector<std::vector<uint8_t>> endpoints;
  for (const auto& pipe : port.pipes) {
    endpoints.push_back(pipe->endpoint);
  }
  return endpoints;
}

// Devices whose (absent) drivers would have configured them.
bool StartsConfigured(const UsbDevice& device) {
  switch (device.Script().kind) {
    case DeviceKind::Mouse:
    case DeviceKind::Keyboard:
    case DeviceKind::Storage:
    case DeviceKind::Hub:
      return true;
    case DeviceKind::Q417:
      return !device.InUpdateMode();
    case DeviceKind::Generic:
      return false;
  }
  return false;
}

// The pipes a device's (absent) driver would have opened.
void OpenPipesOfStartedDevice(Port& port, uint64_t& nextPipe) {
  if (!StartsConfigured(*port.device)) {
    return;
  }
  for (const InterfaceScript& interface : port.device->Script().configuration.interfaces) {
    for (const EndpointScript& endpoint : interface.endpoints) {
      auto pipe = std::make_unique<Pipe>();
      pipe->id = nextPipe++;
      pipe->endpoint = {sizeof(USB_ENDPOINT_DESCRIPTOR),
                        USB_ENDPOINT_DESCRIPTOR_TYPE,
                        endpoint.address,
                        endpoint.attributes,
                        static_cast<uint8_t>(endpoint.maxPacketSize & 0xFF),
                        static_cast<uint8_t>(endpoint.maxPacketSize >> 8),
                        endpoint.interval};
      port.pipes.push_back(std::move(pipe));
    }
  }
}

DRIVER_DISPATCH Dispatch;
DRIVER_UNLOAD Unload;

}  // namespace

struct UsbBus::State {
  UsbTreeScript tree;
  CompletionMode completion = CompletionMode::Asynchronous;
  PDRIVER_OBJECT hcdDriver = nullptr;
  PDRIVER_OBJECT hubDriver = nullptr;
  std::vector<std::unique_ptr<Controller>> controllers;
  uint32_t nextPdo = 0;
  uint32_t nextDriverKey = 0;
  uint32_t nextInstance = 0x2d3c1a;
  bool shutDown = false;
  uint64_t nextTransfer = 0;
  uint64_t nextPipe = 1;

  std::string NewDriverKey() {
    return std::string(kUsbClassKey) + Format("\\%04u", nextDriverKey++);
  }
  std::string NewPdoName() { return Format("\\Device\\USBPDO-%u", nextPdo++); }
  uint32_t NewInstance() { return nextInstance += 0x1111; }

  // ------------------------------------------------------------ building
  void BuildController(uint32_t number, ControllerScript controllerScript);
  std::unique_ptr<Hub> BuildHub(Controller* controller, Port* upstream, const std::string& name,
                                const std::vector<PortScript>& ports, pnp::DeviceNode* parentNode,
                                pnp::NodeProperties properties);
  void AttachDevice(Port& port, std::unique_ptr<UsbDevice> device);
  void Leave(Port& port);
  void ScheduleReturn(Port& port, bool updateMode, VirtualTime delay);
  void After(Port& port, const AfterRequest& after);
  Port* FindPort(std::string_view path);
  void ForEachPort(Hub& hub, const std::function<void(Port&)>& visit);

  // ------------------------------------------------------------ requests
  NTSTATUS HostControllerControl(Controller& controller, PIRP irp);
  NTSTATUS HubControl(Hub& hub, PIRP irp);
  NTSTATUS SubmitUrb(Port& port, PIRP irp);
  void SetDevicePower(Port& port, DEVICE_POWER_STATE state);
  // pipe: the pipe of a bulk or interrupt transfer (0: none), which counts
  // the transfer as pending until it completes.
  NTSTATUS Finish(Port& port, PIRP irp, PURB urb, Reply reply, const std::string& what,
                  uint32_t frames = 0, uint64_t pipe = 0);
  Pipe* FindPipe(Port& port, uint64_t id);
  // How long from now until a transfer of `frames` frames on the port's
  // controller is over, queued after the transfers already on that bus;
  // 0 when transfers take no time (timing Instant or inline completion).
  VirtualTime BusTime(Port& port, uint32_t frames);
  NTSTATUS Pnp(PDEVICE_OBJECT device, Port* port, PIRP irp);
};

namespace {

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  const Extension& extension = *static_cast<Extension*>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
      if (extension.role == Role::HostController) {
        return extension.bus->HostControllerControl(*static_cast<Controller*>(extension.object),
                                                    irp);
      }
      if (extension.role == Role::Hub) {
        return extension.bus->HubControl(*static_cast<Hub*>(extension.object), irp);
      }
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (extension.role == Role::Device &&
          stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return extension.bus->SubmitUrb(*static_cast<Port*>(extension.object), irp);
      }
      return Complete(irp, STATUS_NOT_SUPPORTED);
    case IRP_MJ_PNP: {
      if (extension.role == Role::Device) {
        return extension.bus->Pnp(device, static_cast<Port*>(extension.object), irp);
      }
      const NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MJ_POWER: {
      // A bus driver's PDO: take the new state and succeed (unless the
      // script says the device cannot change it); other minor functions
      // keep their status.
      PoStartNextPowerIrp(irp);
      NTSTATUS status = irp->IoStatus.Status;
      if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
        if (stack->MinorFunction == IRP_MN_SET_POWER &&
            stack->Parameters.Power.Type == DevicePowerState) {
          Port* port =
              extension.role == Role::Device ? static_cast<Port*>(extension.object) : nullptr;
          if (port != nullptr && port->device != nullptr &&
              port->device->Script().faults.failDevicePower) {
            status = *port->device->Script().faults.failDevicePower;
          } else {
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
            if (port != nullptr) {
              // The port follows the device's new state once the request is over.
              const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
              irp->IoStatus.Status = status;
              IoCompleteRequest(irp, IO_NO_INCREMENT);
              extension.bus->SetDevicePower(*port, state);
              return status;
            }
          }
        }
        irp->IoStatus.Status = status;
      }
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER}) {
    driver->MajorFunction[major] = Dispatch;
  }
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

std::vector<std::string> SplitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '/') {
      parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(part);
  return parts;
}

}  // namespace

// ---------------------------------------------------------------- building

void UsbBus::State::BuildController(uint32_t number, ControllerScript controllerScript) {
  auto controller = std::make_unique<Controller>();
  controller->number = number;
  controller->script = std::move(controllerScript);
  controller->driverKey =
      controller->script.driverKey.empty() ? NewDriverKey() : controller->script.driverKey;
  const std::string deviceName = Format("\\Device\\USBFDO-%u", number);
  controller->device = CreateDeviceObject(this, hcdDriver, deviceName, FILE_DEVICE_CONTROLLER,
                                          Role::HostController, controller.get());
  if (controller->script.numberedName) {
    CreateLink(Format("\\DosDevices\\HCD%u", number), deviceName);
  }
  pnp::NodeProperties properties;
  properties.instanceId = Format("PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\3&%X&0&%X",
                                 NewInstance(), 0x10 + number);
  properties.hardwareId = "PCI\\VEN_8086&DEV_7112";
  properties.driverKey = controller->driverKey;
  properties.description = controller->script.description;
  controller->node = pnp::AddChild(pnp::Root(), properties, nullptr);
  if (controller->script.deviceInterface) {
    pnp::RegisterDeviceInterface(controller->node, GUID_CLASS_USB_HOST_CONTROLLER,
                                 controller->device);
  }
  const uint32_t instance = NewInstance();
  pnp::NodeProperties rootProperties;
  rootProperties.instanceId = Format("USB\\ROOT_HUB\\4&%X&%u", instance, number);
  rootProperties.hardwareId = "USB\\ROOT_HUB";
  rootProperties.driverKey = NewDriverKey();
  rootProperties.description = "USB Root Hub";
  const std::string rootName = Format("USB#ROOT_HUB#4&%X&%u#", instance, number) + kHubInterface;
  Controller* raw = controller.get();
  controllers.push_back(std::move(controller));
  raw->rootHub = BuildHub(raw, nullptr, rootName, raw->script.rootPorts, raw->node, rootProperties);
}

std::unique_ptr<Hub> UsbBus::State::BuildHub(Controller* controller, Port* upstream,
                                             const std::string& name,
                                             const std::vector<PortScript>& ports,
                                             pnp::DeviceNode* parentNode,
                                             pnp::NodeProperties properties) {
  auto hub = std::make_unique<Hub>();
  hub->controller = controller;
  hub->upstream = upstream;
  hub->name = name;
  const std::string deviceName = NewPdoName();
  hub->device =
      CreateDeviceObject(this, hubDriver, deviceName, FILE_DEVICE_UNKNOWN, Role::Hub, hub.get());
  CreateLink("\\DosDevices\\" + name, deviceName);
  hub->node = pnp::AddChild(parentNode, std::move(properties), nullptr);
  const std::string prefix =
      upstream == nullptr ? Format("%u", controller->number) : upstream->path;
  for (size_t i = 0; i < ports.size(); ++i) {
    auto port = std::make_unique<Port>();
    port->bus = this;
    port->hub = hub.get();
    port->number = static_cast<uint32_t>(i + 1);
    port->path = prefix + Format("/%u", port->number);
    port->script = ports[i];
    port->status = ports[i].status;
    hub->ports.push_back(std::move(port));
  }
  for (auto& port : hub->ports) {
    const PortScript& script = port->script;
    if (!script.device) {
      continue;
    }
    if (script.status != DeviceConnected) {
      // A device that failed: the hub reports it but nothing runs it.
      port->history.push_back(std::make_unique<UsbDevice>(*script.device));
      port->device = port->history.back().get();
      continue;
    }
    if (script.device->kind == DeviceKind::Hub) {
      port->history.push_back(std::make_unique<UsbDevice>(*script.device));
      port->device = port->history.back().get();
      port->address = static_cast<uint16_t>(port->number + 1);
      OpenPipesOfStartedDevice(*port, nextPipe);
      const uint32_t instance = NewInstance();
      pnp::NodeProperties hubProperties;
      hubProperties.instanceId = Format("USB\\VID_%04X&PID_%04X\\5&%X", script.device->vendorId,
                                        script.device->productId, instance) +
                                 Format("&0&%u", port->number);
      hubProperties.hardwareId =
          Format("USB\\VID_%04X&PID_%04X", script.device->vendorId, script.device->productId);
      hubProperties.driverKey = script.device->driverKey.value_or(NewDriverKey());
      hubProperties.description = script.device->description;
      const std::string hubName =
          Format("USB#VID_%04X&PID_%04X#5&", script.device->vendorId, script.device->productId) +
          Format("%X&0&%u#", instance, port->number) + kHubInterface;
      port->childHub = BuildHub(controller, port.get(), hubName, script.hubPorts, hub->node,
                                std::move(hubProperties));
      continue;
    }
    const bool q417 = script.device->kind == DeviceKind::Q417;
    AttachDevice(*port, std::make_unique<UsbDevice>(*script.device,
                                                    q417 ? script.q417 : std::nullopt, false));
  }
  return hub;
}

void UsbBus::State::AttachDevice(Port& port, std::unique_ptr<UsbDevice> device) {
  port.history.push_back(std::move(device));
  port.device = port.history.back().get();
  port.status = DeviceConnected;
  port.power = PowerDeviceD0;
  port.address = static_cast<uint16_t>(port.address + 1 + port.number);
  port.pipes.clear();
  port.pdo =
      CreateDeviceObject(this, hubDriver, NewPdoName(), FILE_DEVICE_UNKNOWN, Role::Device, &port);
  const DeviceScript& script = port.device->Script();
  OpenPipesOfStartedDevice(port, nextPipe);
  pnp::NodeProperties properties;
  const std::string identity = Format("USB\\VID_%04X&PID_%04X", script.vendorId, script.productId);
  properties.instanceId =
      identity + "\\" +
      (script.serialNumber.empty() ? Format("5&%X&0&%u", NewInstance(), port.number)
                                   : script.serialNumber);
  properties.hardwareId = identity;
  properties.driverKey = script.driverKey.value_or(NewDriverKey());
  properties.description = script.description;
  port.node = pnp::AddChild(port.hub->node, properties, port.pdo);
  LogUrb("device arrived", {{"port", port.path},
                            {"device", properties.instanceId},
                            {"description", properties.description}});
  pnp::DeviceArrived(port.node);
}

void UsbBus::State::Leave(Port& port) {
  if (port.device == nullptr || port.status != DeviceConnected || port.pdo == nullptr) {
    return;
  }
  LogUrb("device left", {{"port", port.path}});
  port.status = NoDeviceConnected;
  port.device = nullptr;
  port.pipes.clear();
  // Transfers the script kept pending end now, as the device is gone.
  for (auto& [irp, request] : port.held) {
    port.history.back()->RecordAbandoned(request, USBD_STATUS_DEVICE_GONE,
                                         STATUS_DEVICE_NOT_CONNECTED);
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  port.held.clear();
  // So do transfers whose frames were not over yet.
  for (const Port::OnTheBus& transfer : port.onTheBus) {
    port.history.back()->RecordAbandoned(transfer.request, USBD_STATUS_DEVICE_GONE,
                                         STATUS_DEVICE_NOT_CONNECTED);
    auto* urb =
        static_cast<PURB>(IoGetCurrentIrpStackLocation(transfer.irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    Complete(transfer.irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  port.onTheBus.clear();
  // The PDO goes once the Plug and Play manager has sent its removal.
  pnp::DeviceRemoved(port.node, true);
}

void UsbBus::State::ScheduleReturn(Port& port, bool updateMode, VirtualTime delay) {
  Port* target = &port;
  Machine::Current().Sched().Schedule(
      delay, updateMode ? "usb: device returns in update mode" : "usb: device returns",
      [this, target, updateMode] {
        if (shutDown || target->status != NoDeviceConnected || !target->script.device) {
          return;
        }
        const Q417Script& q417 = *target->script.q417;
        AttachDevice(*target,
                     updateMode ? std::make_unique<UsbDevice>(q417.updateMode, q417, true)
                                : std::make_unique<UsbDevice>(*target->script.device, q417, false));
      });
}

void UsbBus::State::After(Port& port, const AfterRequest& after) {
  if (after.leaveNow) {
    Leave(port);
    if (after.returnInUpdateMode && port.script.q417) {
      ScheduleReturn(port, *after.returnInUpdateMode, after.returnDelay);
    }
  } else if (after.leaveAfter) {
    Port* target = &port;
    const AfterRequest later{true, std::nullopt, after.returnInUpdateMode, after.returnDelay};
    Machine::Current().Sched().Schedule(*after.leaveAfter, "usb: device leaves",
                                        [this, target, later] {
                                          if (!shutDown) {
                                            After(*target, later);
                                          }
                                        });
  }
}

Port* UsbBus::State::FindPort(std::string_view path) {
  const std::vector<std::string> parts = SplitPath(path);
  if (parts.size() < 2) {
    return nullptr;
  }
  const unsigned long controller = std::strtoul(parts[0].c_str(), nullptr, 10);
  if (controller >= controllers.size()) {
    return nullptr;
  }
  Hub* hub = controllers[controller]->rootHub.get();
  Port* port = nullptr;
  for (size_t i = 1; i < parts.size(); ++i) {
    if (hub == nullptr) {
      return nullptr;
    }
    const unsigned long number = std::strtoul(parts[i].c_str(), nullptr, 10);
    if (number == 0 || number > hub->ports.size()) {
      return nullptr;
    }
    port = hub->ports[number - 1].get();
    hub = port->childHub.get();
  }
  return port;
}

void UsbBus::State::ForEachPort(Hub& hub, const std::function<void(Port&)>& visit) {
  for (auto& port : hub.ports) {
    visit(*port);
    if (port->childHub) {
      ForEachPort(*port->childHub, visit);
    }
  }
}

// ---------------------------------------------------------------- hub and controller requests

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
        view.deviceIsHub = device->Script().kind == DeviceKind::Hub;
        view.lowSpeed = device->Script().lowSpeed;
        view.deviceDescriptor = device->DeviceDescriptor();
        view.configurationValue =
            port->pipes.empty() && !device->Configured() && !StartsConfigured(*device)
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
      Reply reply = port->device->GetDescriptor(type, index, request.SetupPacket.wIndex, length);
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
    Machine::Current().Sched().Schedule(busTime, "usb: hub request's frames over",
                                        [this, irp, answer, port, after] {
                                          Complete(irp, answer.status, answer.information);
                                          After(*port, after);
                                        });
    return STATUS_PENDING;
  }
  const NTSTATUS status = Complete(irp, answer.status, answer.information);
  if (port != nullptr) {
    After(*port, after);
  }
  return status;
}

// ---------------------------------------------------------------- URBs

namespace {

const char* UrbFunctionName(USHORT function) {
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return "URB_FUNCTION_SELECT_CONFIGURATION";
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER";
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return "URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE";
    case URB_FUNCTION_RESET_PIPE:
      return "URB_FUNCTION_RESET_PIPE";
    default:
      return "URB_FUNCTION (not supported)";
  }
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
  const VirtualTime now = Machine::Current().Sched().Now();
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
  if (reply.neverCompletes) {
    LogUrb(what, {{"port", port.path}, {"status", "held (the device does not answer)"}});
    IoMarkIrpPending(irp);
    port.held.emplace_back(irp, port.device->Requests().size() - 1);
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
  Machine::Current().Sched().Schedule(
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

void UsbBus::State::SetDevicePower(Port& port, DEVICE_POWER_STATE state) { port.power = state; }

NTSTATUS UsbBus::State::SubmitUrb(Port& port, PIRP irp) {
  auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (urb == nullptr) {
    return Complete(irp, STATUS_INVALID_PARAMETER);
  }
  const USHORT function = urb->UrbHeader.Function;
  std::string what = UrbFunctionName(function);
  if (port.device == nullptr || port.status != DeviceConnected) {
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    LogUrb(what,
           {{"port", port.path}, {"status", kernel::StatusText(STATUS_DEVICE_NOT_CONNECTED)}});
    return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  if (port.power > PowerDeviceD0) {
    // The hub answers for the suspended port at once; the URB's own status
    // is left as the caller set it.
    LogUrb(what, {{"port", port.path}, {"status", kernel::StatusText(STATUS_DEVICE_POWERED_OFF)}});
    return Complete(irp, STATUS_DEVICE_POWERED_OFF);
  }
  UsbDevice& device = *port.device;
  auto findPipe = [&port](USBD_PIPE_HANDLE handle) -> Pipe* {
    for (auto& pipe : port.pipes) {
      if (pipe.get() == handle) {
        return pipe.get();
      }
    }
    return nullptr;
  };

  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
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
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto& request = urb->UrbSelectConfiguration;
      if (request.ConfigurationDescriptor == nullptr) {
        what += " (deconfigure)";
        Reply reply = device.SelectConfiguration(false);
        port.pipes.clear();
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
        if ((information->Length - minimum) / sizeof(USBD_PIPE_INFORMATION) <
            found->endpoints.size()) {
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
        port.pipes.clear();
        for (auto& [information, interface] : chosen) {
          information->Class = interface->interfaceClass;
          information->SubClass = interface->interfaceSubClass;
          information->Protocol = interface->interfaceProtocol;
          information->InterfaceHandle = information;
          information->NumberOfPipes = static_cast<ULONG>(interface->endpoints.size());
          for (size_t i = 0; i < interface->endpoints.size(); ++i) {
            const EndpointScript& endpoint = interface->endpoints[i];
            USBD_PIPE_INFORMATION& pipeInformation = information->Pipes[i];
            auto pipe = std::make_unique<Pipe>();
            pipe->id = nextPipe++;
            pipe->endpoint = {sizeof(USB_ENDPOINT_DESCRIPTOR),
                              USB_ENDPOINT_DESCRIPTOR_TYPE,
                              endpoint.address,
                              endpoint.attributes,
                              static_cast<uint8_t>(endpoint.maxPacketSize & 0xFF),
                              static_cast<uint8_t>(endpoint.maxPacketSize >> 8),
                              endpoint.interval};
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
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& request = urb->UrbBulkOrInterruptTransfer;
      Pipe* pipe = findPipe(request.PipeHandle);
      if (pipe == nullptr) {
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
      if (Machine::Current().Config().os != OsFamily::WindowsNt &&
          length > pipe->maximumTransferSize) {
        return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
      }
      if (pipe->halted) {
        what += " (the endpoint is halted)";
        return Finish(port, irp, urb, Invalid(USBD_STATUS_ENDPOINT_HALTED), what);
      }
      if (length > 0 && request.TransferBuffer == nullptr && request.TransferBufferMDL == nullptr) {
        Machine::Current().Verify().Report(rule::kTransferWithoutBuffer, what,
                                           Format("%u bytes with neither buffer nor MDL", length));
      }
      bool refused = false;
      uint8_t* buffer = TransferBufferOf(request.TransferBuffer, request.TransferBufferMDL, length,
                                         &refused, what);
      if (refused || (buffer == nullptr && length > 0)) {
        return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_PARAMETER), what);
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
      const uint32_t frames = FullSpeedFrames(
          (pipe->endpoint[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT
              ? TransferType::Interrupt
              : TransferType::Bulk,
          request.TransferBufferLength, pipe->MaxPacketSize(), pipe->endpoint[6]);
      return Finish(port, irp, urb, std::move(reply), what, frames, pipe->id);
    }
    case URB_FUNCTION_RESET_PIPE: {
      Pipe* pipe = findPipe(urb->UrbPipeRequest.PipeHandle);
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
    default:
      return Finish(port, irp, urb, Invalid(USBD_STATUS_INVALID_URB_FUNCTION), what);
  }
}

// ---------------------------------------------------------------- Plug and Play

NTSTATUS UsbBus::State::Pnp(PDEVICE_OBJECT device, Port* port, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = port->device != nullptr && port->device->Script().faults.failStart
                   ? *port->device->Script().faults.failStart
                   : STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      capabilities->Removable = TRUE;
      capabilities->SurpriseRemovalOK = FALSE;
      capabilities->UniqueID = FALSE;
      capabilities->Address = port->number;
      capabilities->UINumber = port->number;
      capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) {
        capabilities->DeviceState[state] = PowerDeviceD3;
      }
      capabilities->SystemWake = PowerSystemUnspecified;
      capabilities->DeviceWake = PowerDeviceUnspecified;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      // A PDO whose device has left goes with its removal; one whose device
      // is still there stays for the next arrival.
      if (port->pdo == device && port->status != DeviceConnected) {
        port->pdo = nullptr;
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(device);
        return status;
      }
      if (port->pdo != device) {
        // An earlier PDO of this port (the device came back meanwhile).
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(device);
        return status;
      }
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ---------------------------------------------------------------- UsbBus

UsbBus::UsbBus() : state_(std::make_unique<State>()) {}

UsbBus::~UsbBus() = default;

std::unique_ptr<UsbBus> UsbBus::Create(UsbTreeScript script) {
  std::unique_ptr<UsbBus> bus(new UsbBus());
  State& state = *bus->state_;
  state.tree = std::move(script);
  state.completion = state.tree.completion;
  NTSTATUS status = STATUS_SUCCESS;
  state.hcdDriver = kernel::LoadDriver("usbhcd", BusDriverEntry, &status);
  state.hubDriver = kernel::LoadDriver("usbhub", BusDriverEntry, &status);
  if (state.hcdDriver == nullptr || state.hubDriver == nullptr) {
    return nullptr;
  }
  for (size_t i = 0; i < state.tree.controllers.size(); ++i) {
    state.BuildController(static_cast<uint32_t>(i), state.tree.controllers[i]);
  }
  return bus;
}

void UsbBus::SetCompletionMode(CompletionMode mode) { state_->completion = mode; }

CompletionMode UsbBus::Completion() const { return state_->completion; }

UsbDevice* UsbBus::DeviceAt(std::string_view path) {
  Port* port = state_->FindPort(path);
  return port == nullptr ? nullptr : port->device;
}

PDEVICE_OBJECT UsbBus::PdoAt(std::string_view path) {
  Port* port = state_->FindPort(path);
  return port == nullptr ? nullptr : port->pdo;
}

std::string UsbBus::HubNameAt(std::string_view path) {
  if (path.find('/') == std::string_view::npos) {
    const unsigned long controller = std::strtoul(std::string(path).c_str(), nullptr, 10);
    return controller < state_->controllers.size() ? state_->controllers[controller]->rootHub->name
                                                   : std::string();
  }
  Port* port = state_->FindPort(path);
  return port == nullptr || !port->childHub ? std::string() : port->childHub->name;
}

std::vector<const UsbDevice*> UsbBus::History(std::string_view path) {
  std::vector<const UsbDevice*> devices;
  if (Port* port = state_->FindPort(path)) {
    for (const auto& device : port->history) {
      devices.push_back(device.get());
    }
  }
  return devices;
}

bool UsbBus::Plug(std::string_view path, PortScript script) {
  Port* port = state_->FindPort(path);
  if (port == nullptr || port->status != NoDeviceConnected || !script.device ||
      script.device->kind == DeviceKind::Hub) {
    return false;
  }
  port->script = std::move(script);
  const bool q417 = port->script.device->kind == DeviceKind::Q417;
  state_->AttachDevice(*port, std::make_unique<UsbDevice>(*port->script.device,
                                                          q417 ? port->script.q417 : std::nullopt));
  return true;
}

bool UsbBus::Unplug(std::string_view path) {
  Port* port = state_->FindPort(path);
  if (port == nullptr || port->device == nullptr || port->status != DeviceConnected ||
      port->pdo == nullptr) {
    return false;
  }
  state_->Leave(*port);
  return true;
}

void UsbBus::Shutdown() {
  State& state = *state_;
  if (state.shutDown) {
    return;
  }
  state.shutDown = true;
  for (auto& controller : state.controllers) {
    state.ForEachPort(*controller->rootHub, [](Port& port) {
      if (port.pdo != nullptr && port.status == DeviceConnected) {
        pnp::DeviceRemoved(port.node, false);
      }
    });
  }
  pnp::WaitIdle();
  std::function<void(Hub&)> deleteHub = [&](Hub& hub) {
    for (auto& port : hub.ports) {
      if (port->childHub) {
        deleteHub(*port->childHub);
      }
      if (port->pdo != nullptr) {
        IoDeleteDevice(port->pdo);
        port->pdo = nullptr;
      }
    }
    DeleteLink("\\DosDevices\\" + hub.name);
    IoDeleteDevice(hub.device);
  };
  for (auto& controller : state.controllers) {
    deleteHub(*controller->rootHub);
    if (controller->script.numberedName) {
      DeleteLink(Format("\\DosDevices\\HCD%u", controller->number));
    }
    IoDeleteDevice(controller->device);
  }
  kernel::UnloadDriver(state.hcdDriver);
  kernel::UnloadDriver(state.hubDriver);
}

}  // namespace winsim::usb
