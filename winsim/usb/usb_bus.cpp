// winsim: the USB bus (see usb_bus.h): its topology (host controllers,
// hubs, ports), devices arriving and leaving, and the dispatch routine that
// hands each request to its role's file: usb_bus_hub.cpp (control requests
// of host controllers and hubs), usb_bus_urb.cpp (URBs), usb_bus_pnp.cpp
// (Plug and Play and power of the devices' PDOs).
#include "usb/usb_bus.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"
#include "usb/models/models.h"
#include "usb/usb_bus_state.h"

namespace winsim::usb {

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
  Ground::Current().Log().Add(EventKind::Urb, std::move(text), std::move(fields));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

namespace {

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

}  // namespace

std::vector<std::vector<uint8_t>> OpenPipes(const Port& port) {
  std::vector<std::vector<uint8_t>> endpoints;
  for (const auto& pipe : port.pipes) {
    endpoints.push_back(pipe->endpoint);
  }
  return endpoints;
}

namespace {

// The pipes a device's (absent) driver would have opened.
void OpenPipesOfStartedDevice(Port& port, uint64_t& nextPipe) {
  if (!port.device->StartsConfigured()) {
    return;
  }
  for (const InterfaceScript& interface : port.device->Script().configuration.interfaces) {
    for (const EndpointScript& endpoint : interface.endpoints) {
      port.pipes.push_back(Pipe::For(endpoint, nextPipe++));
    }
  }
}

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
    case IRP_MJ_POWER:
      return extension.bus->Power(
          device, extension.role == Role::Device ? static_cast<Port*>(extension.object) : nullptr,
          irp);
    case IRP_MJ_SYSTEM_CONTROL: {
      // WMI: the bus driver registers no WMI provider, so it completes the
      // request with the status it carries, as Windows' bus drivers do.
      LogUrb("IRP_MJ_SYSTEM_CONTROL", {{"status", kernel::StatusText(irp->IoStatus.Status)}});
      const NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

VOID Unload(PDRIVER_OBJECT) {}

NTSTATUS BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major :
       {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_DEVICE_CONTROL,
        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) {
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
  // The hub's own stack gets the system power requests on Windows: a port
  // loses its power in the sleep whatever its device's drivers pass down.
  pnp::SetSystemPowerHandler(hub->node, [this, alive = std::weak_ptr<const bool>(alive),
                                         target = hub.get()](SYSTEM_POWER_STATE state) {
    if (alive.expired() || shutDown) return;
    for (auto& port : target->ports) SystemPower(*port, state);
  });
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
    std::unique_ptr<UsbDevice> device = CreateDevice(script);
    if (script.status != DeviceConnected) {
      // A device that failed: the hub reports it but nothing runs it.
      port->history.push_back(std::move(device));
      port->device = port->history.back().get();
      continue;
    }
    if (device->IsHub()) {
      port->history.push_back(std::move(device));
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
    AttachDevice(*port, std::move(device));
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
  port.closedPipes.clear();
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
  port.closedPipes.clear();
  // Transfers the script kept pending end now, as the device is gone.
  for (auto& [irp, request] : port.held) {
    IoSetCancelRoutine(irp, nullptr);
    port.history.back()->RecordAbandoned(request, USBD_STATUS_DEVICE_GONE,
                                         STATUS_DEVICE_NOT_CONNECTED);
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
    CaptureComplete(irp, USBD_STATUS_DEVICE_GONE);
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
    CaptureComplete(transfer.irp, USBD_STATUS_DEVICE_GONE);
    Complete(transfer.irp, STATUS_DEVICE_NOT_CONNECTED);
  }
  port.onTheBus.clear();
  // The PDO goes once the Plug and Play manager has sent its removal.
  pnp::DeviceRemoved(port.node, true);
}

void UsbBus::State::ScheduleReturn(Port& port, const ReturnAs& comeBack) {
  Port* target = &port;
  Ground::Current().Sched().Schedule(
      comeBack.delay, comeBack.what, [this, target, make = comeBack.make] {
        if (shutDown || target->status != NoDeviceConnected || !target->script.device) {
          return;
        }
        AttachDevice(*target, make());
      });
}

void UsbBus::State::After(Port& port, const AfterRequest& after) {
  if (after.leaveNow) {
    Leave(port);
    if (after.comeBack) {
      ScheduleReturn(port, *after.comeBack);
    }
  } else if (after.leaveAfter) {
    Port* target = &port;
    const AfterRequest later{true, std::nullopt, after.comeBack};
    Ground::Current().Sched().Schedule(*after.leaveAfter, "usb: device leaves",
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

// ---------------------------------------------------------------- UsbBus

UsbBus::UsbBus() : state_(std::make_unique<State>()) {}

UsbBus::~UsbBus() = default;

namespace {

// Whether every device below ports names a registered model (a misspelt
// name would otherwise make some other device than the one meant).
bool NamesOnlyKnownModels(const std::vector<PortScript>& ports) {
  for (const PortScript& port : ports) {
    if (port.device && FindModel(port.device->model) == nullptr) return false;
    if (!NamesOnlyKnownModels(port.hubPorts)) return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<UsbBus> UsbBus::Create(UsbTreeScript script) {
  for (const ControllerScript& controller : script.controllers) {
    if (!NamesOnlyKnownModels(controller.rootPorts)) return nullptr;
  }
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
  if (port == nullptr || port->status != NoDeviceConnected || !script.device) {
    return false;
  }
  std::unique_ptr<UsbDevice> device = CreateDevice(script);
  if (device == nullptr || device->IsHub()) {
    return false;
  }
  port->script = std::move(script);
  state_->AttachDevice(*port, std::move(device));
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
