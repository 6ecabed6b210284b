// winsim: one USB device as its firmware behaves: it answers standard
// requests from its script, takes configurations and transfers, applies the
// script's faults and records every request. It knows nothing of IRPs; the
// bus (usb_bus.h) and the hubs call it and act on what a reply asks for
// (leaving the bus, coming back in another mode).
//
// Threading: called by the bus with the machine's one running simulated
// thread; no locking.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// What the device wants after a request.
struct AfterRequest {
  bool leaveNow = false;                  // drop off the bus now
  std::optional<VirtualTime> leaveAfter;  // drop off after this delay
  // Come back (after leaving) in update mode (true) or normal mode.
  std::optional<bool> returnInUpdateMode;
  VirtualTime returnDelay = 0;
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
  // q417: the Q417 device's script (normal mode when updateMode is false).
  UsbDevice(DeviceScript script, std::optional<Q417Script> q417 = {}, bool updateMode = false);

  const DeviceScript& Script() const { return script_; }
  bool IsQ417() const { return q417_.has_value(); }
  bool InUpdateMode() const { return updateMode_; }
  const std::optional<Q417Script>& Q417() const { return q417_; }

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
  uint32_t TriggerRequests() const { return triggerRequests_; }

  // Update mode: the flash and what the download protocol took.
  const std::vector<uint8_t>& Flash() const { return flash_; }
  uint32_t ImageLength() const { return imageLength_; }  // of the last header
  uint32_t ImageBytesReceived() const { return imageReceived_; }
  uint32_t DownloadsCompleted() const { return downloadsCompleted_; }

 private:
  Reply Record(DeviceRequest request, Reply reply);
  std::optional<Failure> DescriptorFailure(uint8_t type, uint8_t index);
  Reply TriggerReplyFor(uint32_t length);
  Reply Download(const uint8_t* out, uint32_t length);

  DeviceScript script_;
  std::optional<Q417Script> q417_;
  bool updateMode_ = false;
  bool configured_ = false;
  std::vector<DeviceRequest> requests_;
  std::vector<int> descriptorFaultsLeft_;
  std::vector<int> descriptorFaultsToSkip_;
  uint32_t configurationReads_ = 0;
  uint32_t transfers_ = 0;
  uint32_t resets_ = 0;
  uint32_t triggerRequests_ = 0;
  // The download protocol.
  std::vector<uint8_t> header_;
  bool inImage_ = false;
  std::vector<uint8_t> flash_;
  uint32_t imageLength_ = 0;
  uint32_t imageReceived_ = 0;
  uint32_t downloadsCompleted_ = 0;
};

}  // namespace winsim::usb
