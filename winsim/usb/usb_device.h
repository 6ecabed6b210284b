// winsim: the device-model interface: one USB device as its firmware
// behaves. UsbDevice itself is the generic device: it answers the standard
// requests from its script (descriptors, configuration, transfers, pipe
// resets), applies the script's faults and records every request. A model
// (winsim/usb/models/) derives from it and overrides the hooks where its
// firmware differs: descriptor requests of its own, what it does with OUT
// data, whether its driver configures it, whether it is a hub. It knows
// nothing of IRPs; the bus (usb_bus.h) and the hubs call it (a hub forwards
// IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION to GetDescriptor as URBs
// do) and act on what a reply asks for: leaving the bus, and coming back
// after a delay as another device (identity and model).
//
// Threading: called by the bus with the machine's one running simulated
// thread; no locking.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ground/scheduler.h"
#include "usb/device_script.h"

namespace winsim::usb {

enum class RequestKind { GetDescriptor, SelectConfiguration, Deconfigure, Transfer, ResetPipe };

// One request as the device saw it, with its outcome.
struct DeviceRequest {
  RequestKind kind = RequestKind::GetDescriptor;
  uint8_t descriptorType = 0;
  uint8_t descriptorIndex = 0;
  uint16_t languageId = 0;
  uint32_t requestedLength = 0;
  uint8_t endpoint = 0;
  bool in = false;
  std::vector<uint8_t> data;  // bytes moved (either direction)
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  bool completes = true;  // false: the script keeps it pending
};

class UsbDevice;

// A device coming back onto the port it left, after delay: make gives it
// (its own identity and model); what names the event.
struct ReturnAs {
  VirtualTime delay = 0;
  std::string what;
  std::function<std::unique_ptr<UsbDevice>()> make;
};

// What the device wants after a request.
struct AfterRequest {
  bool leaveNow = false;                  // drop off the bus now
  std::optional<VirtualTime> leaveAfter;  // drop off after this delay
  std::optional<ReturnAs> comeBack;       // after leaving
};

struct Reply {
  USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> data;  // IN data, already cut to the requested length
  uint32_t bytesMoved = 0;    // for OUT transfers
  bool neverCompletes = false;
  bool failsAtSubmission = false;
  AfterRequest after;
};

// Descriptor bytes built from a script (the bus and tests share them).
std::vector<uint8_t> BuildDeviceDescriptor(const DeviceScript& script);
std::vector<uint8_t> BuildConfigurationDescriptor(const DeviceScript& script);
// The strings a script names, by index: 1 manufacturer, 2 product, 3 serial
// number, then the configuration's name and the interfaces' names.
std::vector<std::string> StringTable(const DeviceScript& script);

class UsbDevice {
 public:
  explicit UsbDevice(DeviceScript script);
  virtual ~UsbDevice() = default;
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  const DeviceScript& Script() const { return script_; }
  // Whether the device's (absent) driver configured it when it started, so
  // the bus opens its pipes; the generic device waits for its driver.
  virtual bool StartsConfigured() const { return false; }
  // A hub: the bus gives it ports of its own and never plugs it later.
  virtual bool IsHub() const { return false; }
  // What a loss of power (its port unpowered through a sleep) does to the
  // device: nullopt, it keeps its state; else, at the wake, it is off the
  // bus and comes back as this gives it.
  virtual std::optional<ReturnAs> AfterPowerLoss() const { return std::nullopt; }

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;

  Reply GetDescriptor(uint8_t type, uint8_t index, uint16_t languageId, uint32_t length);
  Reply SelectConfiguration(bool configure);
  // A bulk or interrupt transfer on the endpoint; out holds length bytes
  // for an OUT transfer.
  Reply Transfer(uint8_t endpoint, bool in, const uint8_t* out, uint32_t length, bool shortOk);
  Reply ResetPipe(uint8_t endpoint);
  // Records that a request the script kept pending ended when the device left.
  void RecordAbandoned(size_t requestIndex, USBD_STATUS usbdStatus, NTSTATUS status);

  bool Configured() const { return configured_; }
  const std::vector<DeviceRequest>& Requests() const { return requests_; }
  // Forgets the record (a fuzz target that checks each input's requests
  // keeps it from growing); never while a request the script keeps is
  // pending (RecordAbandoned refers to its index).
  void ForgetRequests() { requests_.clear(); }

 protected:
  // A descriptor request the script's faults let through, before the
  // standard answers: a model answers requests of its own here (nullopt:
  // the standard answer).
  virtual std::optional<Reply> OwnDescriptor(uint8_t type, uint8_t index, uint32_t length);
  // The data of an OUT transfer the faults let through; the generic device
  // takes it all and keeps nothing.
  virtual Reply TakeOut(uint8_t endpoint, const uint8_t* out, uint32_t length);

  static Reply Failed(const Failure& failure);
  static std::vector<uint8_t> Cut(std::vector<uint8_t> bytes, uint32_t length);

 private:
  Reply Record(DeviceRequest request, Reply reply);
  std::optional<Failure> DescriptorFailure(uint8_t type, uint8_t index);

  DeviceScript script_;
  bool configured_ = false;
  std::vector<DeviceRequest> requests_;
  std::vector<int> descriptorFaultsLeft_;
  std::vector<int> descriptorFaultsToSkip_;
  uint32_t configurationReads_ = 0;
  uint32_t transfers_ = 0;
  uint32_t resets_ = 0;
};

}  // namespace winsim::usb
