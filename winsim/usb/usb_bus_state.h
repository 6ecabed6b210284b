// winsim: the USB bus's shared parts (see usb_bus.h), for its sources
// only: usb_bus.cpp (topology and ports), usb_bus_hub.cpp (host controller
// and hub control requests), usb_bus_urb.cpp (URBs) and usb_bus_pnp.cpp
// (the child devices' Plug and Play and power).
#pragma once

#include <usbioctl.h>
#include <wdm.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "pnp/pnp_manager.h"
#include "usb/bus_timing.h"
#include "usb/usb_bus.h"

namespace winsim::usb {

inline constexpr char kUsbClassKey[] = "{36FC9E60-C465-11CF-8056-444553540000}";
inline constexpr char kHubInterface[] = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

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

  // A pipe with the descriptor of a scripted endpoint.
  static std::unique_ptr<Pipe> For(const EndpointScript& script, uint64_t id) {
    auto pipe = std::make_unique<Pipe>();
    pipe->id = id;
    pipe->endpoint = {sizeof(USB_ENDPOINT_DESCRIPTOR),
                      USB_ENDPOINT_DESCRIPTOR_TYPE,
                      script.address,
                      script.attributes,
                      static_cast<uint8_t>(script.maxPacketSize & 0xFF),
                      static_cast<uint8_t>(script.maxPacketSize >> 8),
                      script.interval};
    return pipe;
  }
};

// How long a hub takes to suspend or resume a port for a device set-power
// request that it pends: USB 2.0's resume signalling (20 ms) and the
// recovery time after it (10 ms).
inline constexpr VirtualTime kPortPowerChange = 30 * kTicksPerMillisecond;

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
  // Pipes a select-configuration request closed, kept (never used again) so
  // that a transfer on one of their handles is told apart from a bad handle;
  // dropped when the device leaves.
  std::vector<std::unique_ptr<Pipe>> closedPipes;
  uint16_t address = 0;
  // Transfers the script keeps pending, with their request's record.
  std::vector<std::pair<PIRP, size_t>> held;
  // The device's power state as its last device set-power request left it.
  // Below D0 the port is suspended: no traffic reaches the device, and the
  // hub fails every URB sent to it with STATUS_DEVICE_POWERED_OFF.
  DEVICE_POWER_STATE power = PowerDeviceD0;
  // The system slept with the port unpowered (S4, or S1-S3 with
  // portsUnpoweredInSleep): at the wake the device says what that did.
  bool powerLost = false;
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

// A transfer as a bus capture records it (usb_bus_capture.cpp): logged as
// an EventKind::UsbPacket at its submission and at its completion.
struct Captured {
  uint16_t function = 0;             // the URB function
  uint16_t bus = 0;                  // the host controller's number
  uint16_t address = 0;              // the device's USB address
  uint8_t endpoint = 0;              // with its direction bit
  const char* transfer = "control";  // "control", "bulk", "interrupt" or "other"
  std::vector<uint8_t> setup;        // control transfers: the 8-byte setup packet
  std::vector<uint8_t> data;         // OUT data, sent with the submission
};

// Every device object of the bus carries this as its extension.
struct Extension {
  Role role;
  void* object;
  UsbBus::State* bus;
};

std::string Hex(const void* data, size_t length);
void CopyReplyData(uint8_t* buffer, const Reply& reply);
[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...);
void LogUrb(std::string text, std::vector<std::pair<std::string, std::string>> fields);
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
std::vector<std::vector<uint8_t>> OpenPipes(const Port& port);

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
  // Transfers submitted and not yet completed, for their completion record.
  std::map<PIRP, Captured> captured;
  // Expires with the bus, for the Plug and Play manager's hub handlers.
  std::shared_ptr<const bool> alive = std::make_shared<const bool>(true);

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
  void ScheduleReturn(Port& port, const ReturnAs& comeBack);
  void After(Port& port, const AfterRequest& after);
  Port* FindPort(std::string_view path);
  void ForEachPort(Hub& hub, const std::function<void(Port&)>& visit);

  // ------------------------------------------------------------ requests
  NTSTATUS HostControllerControl(Controller& controller, PIRP irp);
  NTSTATUS HubControl(Hub& hub, PIRP irp);
  NTSTATUS SubmitUrb(Port& port, PIRP irp);
  void SetDevicePower(Port& port, DEVICE_POWER_STATE state);
  // The machine sleeps or wakes, as the port's hub hears it (its node's
  // system power handler, whatever the device's drivers pass down): a sleep
  // that unpowers the port, or the wake after it.
  void SystemPower(Port& port, SYSTEM_POWER_STATE state);
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
  // port: null for a host controller's or a hub's device object.
  NTSTATUS Power(PDEVICE_OBJECT device, Port* port, PIRP irp);

  // ------------------------------------------------------------ capture
  // A URB's transfer as far as the URB itself tells it (the handler adds
  // the OUT data once it has the buffer); recorded by CaptureSubmit.
  Captured& CaptureUrb(Port& port, PIRP irp, PURB urb);
  // The hub's descriptor request to the port's device (a control transfer).
  void CaptureHubRequest(Port& port, PIRP irp, const USB_DESCRIPTOR_REQUEST& request);
  // Logs the submission of a transfer CaptureUrb or CaptureHubRequest
  // described; nothing for an IRP that has none.
  void CaptureSubmit(PIRP irp);
  // Logs its completion with the USBD status and the IN data, and forgets it.
  void CaptureComplete(PIRP irp, USBD_STATUS status, const std::vector<uint8_t>& data = {});

  // ------------------------------------------------------------ URB functions
  // One handler per URB function (usb_bus_urb.cpp's table); what: the log
  // line so far.
  NTSTATUS UrbGetDescriptor(Port& port, PIRP irp, PURB urb, std::string& what);
  NTSTATUS UrbSelectConfiguration(Port& port, PIRP irp, PURB urb, std::string& what);
  NTSTATUS UrbBulkOrInterruptTransfer(Port& port, PIRP irp, PURB urb, std::string& what);
  NTSTATUS UrbResetPipe(Port& port, PIRP irp, PURB urb, std::string& what);
};

}  // namespace winsim::usb
