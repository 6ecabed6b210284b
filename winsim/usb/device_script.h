// winsim: USB devices as data, as the bus sees them. A DeviceScript says
// what a device is (its model by its registered name, descriptors, strings,
// identity in the device manager) and how it misbehaves (faults); a
// PortScript carries the model's own settings opaquely, for the model to
// read back (usb/models/). Machine descriptions
// (machine/machine_description.h) produce these, and tests write them
// directly.
#pragma once

#include <ntstatus.h>
#include <usb.h>
#include <usbioctl.h>

#include <any>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace winsim::usb {

struct EndpointScript {
  uint8_t address = 0x81;  // bit 7: IN
  uint8_t attributes = USB_ENDPOINT_TYPE_BULK;
  uint16_t maxPacketSize = 64;
  uint8_t interval = 0;
};

struct InterfaceScript {
  uint8_t number = 0;
  uint8_t alternateSetting = 0;
  uint8_t interfaceClass = 0xFF;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  std::string name;  // iInterface string; empty: index 0
  std::vector<EndpointScript> endpoints;
};

struct ConfigurationScript {
  uint8_t value = 1;
  std::string name;  // iConfiguration string; empty: index 0
  uint8_t attributes = USB_CONFIG_BUS_POWERED;
  uint8_t maxPower = 50;  // in 2 mA units
  std::vector<InterfaceScript> interfaces;
};

// One reply of a string descriptor that is not what it should be.
struct OddString {
  uint8_t index = 0;
  uint8_t bLength = 7;  // as sent; 7 gives 2.5 characters, below 2 none
};

// A request that fails: the USBD status the URB gets and the status the
// IRP (or the hub's control request) completes with.
struct Failure {
  USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
};

// The IRP status the USB port driver gives a USBD status: a device that
// left STATUS_DEVICE_NOT_CONNECTED, a cancelled request STATUS_CANCELLED,
// STATUS_NOT_SUPPORTED, STATUS_INSUFFICIENT_RESOURCES, caller mistakes
// (function, parameter, pipe handle, start frame) STATUS_INVALID_PARAMETER,
// every other error, data errors included, STATUS_UNSUCCESSFUL
// (ERROR_GEN_FAILURE). Windows 98 and 2000 reported a CRC error as
// STATUS_DEVICE_DATA_ERROR (ERROR_CRC); a script that wants that names the
// status itself.
NTSTATUS StatusForUsbd(USBD_STATUS usbdStatus);

struct DescriptorFault {
  uint8_t type = USB_STRING_DESCRIPTOR_TYPE;
  int index = -1;     // -1: any index
  int count = -1;     // how many requests fail; -1: all
  Failure failure{};  // default: stall
  int skip = 0;       // matching requests answered before the failures begin
};

struct TransferFault {
  uint32_t transfer = 1;  // ordinal of the bulk/interrupt transfer, from 1
  Failure failure{};
};

struct Faults {
  std::vector<TransferFault> failTransfers;      // completes with the failure
  std::vector<uint32_t> neverCompleteTransfers;  // stays pending until removal
  std::vector<TransferFault> failSubmissions;    // fails at once (not pending)
  std::vector<uint32_t> failResetPipes;          // ordinals of RESET_PIPE URBs
  Failure resetPipeFailure{};
  std::vector<DescriptorFault> failDescriptors;  // URBs and hub requests alike
  std::vector<OddString> oddStrings;
  std::optional<Failure> failSelectConfiguration;
  // Configuration descriptor malformations.
  std::optional<uint16_t> totalLengthOverride;    // wTotalLength as reported
  std::optional<uint16_t> secondReadTotalLength;  // wTotalLength of later reads
  std::optional<uint32_t> secondReadShortBy;      // later full reads come back short
  std::optional<uint8_t> firstInterfaceLength;    // its bLength as reported, bytes as they are
  std::optional<uint8_t> firstEndpointLength;  // likewise, of the first interface's first endpoint
  std::optional<uint8_t> firstInterfaceEndpoints;     // its bNumEndpoints as reported
  std::optional<uint32_t> surpriseRemovalAtTransfer;  // that transfer fails, the device leaves
  // The bus driver fails IRP_MN_START_DEVICE for the device's PDO with this
  // status (every start), before any function driver talks to the device.
  std::optional<NTSTATUS> failStart;
  // The bus driver fails device set-power IRPs (D0, D3...) for the device's
  // PDO with this status: the device cannot change its power state.
  std::optional<NTSTATUS> failDevicePower;
  // Only the device set-power IRPs to D0 fail so: the device sleeps, and
  // does not wake.
  std::optional<NTSTATUS> failDeviceWake;
};

struct DeviceScript {
  // The model that plays the device, by its registered name (the "kind" of
  // machine descriptions, usb/models/models.h); "generic": UsbDevice itself.
  std::string model = "generic";
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t bcdDevice = 0x0100;
  uint16_t bcdUsb = 0x0110;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 8;
  bool lowSpeed = false;
  std::string manufacturer;  // string 1 (when not empty)
  std::string product;       // string 2
  std::string serialNumber;  // string 3
  std::vector<uint16_t> languages = {0x0409};
  ConfigurationScript configuration;
  // The device manager's view: driver key (none: a generated one; empty:
  // no driver installed, so the hub cannot name one) and description.
  std::optional<std::string> driverKey;
  std::string description;
  Faults faults;
};

// A port of a hub: empty, a device (a hub has ports of its own), or a
// failure state (DeviceFailedEnumeration and the others, with or without a
// device record).
struct PortScript {
  USB_CONNECTION_STATUS status = NoDeviceConnected;
  std::optional<DeviceScript> device;
  // The model's own settings (its section of a machine description), made
  // and read back by the model alone; empty when it has none.
  std::any settings;
  std::vector<PortScript> hubPorts;  // when the device is a hub
};

// How user mode reaches a host controller.
struct ControllerScript {
  bool numberedName = true;     // \\.\HCDn
  bool deviceInterface = true;  // GUID_CLASS_USB_HOST_CONTROLLER
  std::string description = "Standard Universal PCI to USB Host Controller";
  std::string driverKey;  // empty: a generated one
  std::vector<PortScript> rootPorts;
};

// URBs complete at DISPATCH_LEVEL after the dispatch routine returned
// STATUS_PENDING (as real stacks do), or inline in the caller.
enum class CompletionMode { Asynchronous, Inline };

// How long a transfer occupies its controller's bus (usb/bus_timing.h):
// the frames a full-speed bus needs for it, or no time at all.
enum class TransferTiming { FullSpeed, Instant };

struct UsbTreeScript {
  std::vector<ControllerScript> controllers;
  CompletionMode completion = CompletionMode::Asynchronous;
  TransferTiming timing = TransferTiming::FullSpeed;
  // The hub driver pends a device set-power request while it suspends or
  // resumes the port, and completes it once the port is in its new state
  // (kPortPowerChange later); otherwise it completes it at once. Unset: as
  // the machine's OS family's hub driver does (HubPendsDevicePower).
  std::optional<bool> pendDevicePower = std::nullopt;
  // The ports lose power in S1 to S3 as well (they always do in S4).
  bool portsUnpoweredInSleep = false;
};

// A machine with one controller whose first root port is port.
UsbTreeScript SinglePortTree(PortScript port,
                             CompletionMode completion = CompletionMode::Asynchronous);

}  // namespace winsim::usb
