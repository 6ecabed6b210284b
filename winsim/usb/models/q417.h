// winsim: the Q417 device model and its script. In normal mode it is a
// storage device that takes the request for configuration descriptor 0x55
// as the signal to enter update mode: it answers as Q417Script's trigger
// pattern says and,
// at the scripted signal, leaves the bus and comes back in update mode with
// the update-mode identity. In update mode it takes the download protocol
// on its OUT endpoint (a header 0xEE 0 0 and the image length, big-endian,
// 0 meaning the whole flash; then the image) into its 64 KB flash, and may
// leave after the image and come back in normal mode.
#pragma once

#include <cstdint>
#include <vector>

#include "ground/scheduler.h"
#include "usb/models/models.h"

namespace winsim::usb {

// The model's registered name (DeviceScript::model).
inline constexpr char kQ417Model[] = "q417";

enum class TriggerReply { Stall, Crc, Answer };

// The Q417's own settings (PortScript::settings; "q417" in machine
// descriptions): its two modes.
struct Q417Script {
  // Reply to the n-th trigger request (cycled); default: all stall (31).
  std::vector<TriggerReply> triggerPattern = {TriggerReply::Stall};
  uint32_t leaveAfterTriggers = 10;  // 0: never leaves
  VirtualTime returnDelay = 2'000 * kTicksPerMillisecond;
  DeviceScript updateMode;  // identity and endpoints in update mode
  // After the whole image: stay, or leave update mode after endDelay (and
  // come back in normal mode after returnDelay).
  bool leaveAfterDownload = false;
  VirtualTime endDelay = 500 * kTicksPerMillisecond;
  // A header that is not 0xEE 0 0: the transfer fails with this.
  Failure badHeader{};
  // The n-th signal (from 1) fails with this instead of its scripted reply;
  // it still counts toward leaveAfterTriggers.
  std::vector<TransferFault> failTriggers;
};

// The port's Q417 script, or null when it carries none.
Q417Script* Q417ScriptOf(PortScript& port);
const Q417Script* Q417ScriptOf(const PortScript& port);

DeviceScript DefaultQ417NormalMode();
DeviceScript DefaultQ417UpdateMode();

// The registry's entry points (models.cpp): the model for a port (a port
// without a Q417 script gets a storage device by the Q417's name, no more),
// and the reader of the "q417" section, which gives every Q417 port its
// script.
std::unique_ptr<UsbDevice> CreateQ417(const PortScript& port);
void ReadQ417Section(const description::Object& device, PortScript& port);

class Q417Device : public ConfiguredDevice {
 public:
  // normalMode: the device's normal-mode script; the update-mode one is
  // q417.updateMode.
  Q417Device(const DeviceScript& normalMode, Q417Script q417, bool updateMode);

  bool StartsConfigured() const override { return !updateMode_; }

  bool InUpdateMode() const { return updateMode_; }
  // Update mode is kept only while powered: without power the device starts
  // again in normal mode (its flash keeps what was written).
  std::optional<ReturnAs> AfterPowerLoss() const override;
  const Q417Script& Q417() const { return q417_; }
  uint32_t TriggerRequests() const { return triggerRequests_; }

  // Update mode: the flash and what the download protocol took.
  const std::vector<uint8_t>& Flash() const { return flash_; }
  uint32_t ImageLength() const { return imageLength_; }  // of the last header
  uint32_t ImageBytesReceived() const { return imageReceived_; }
  uint32_t DownloadsCompleted() const { return downloadsCompleted_; }

 protected:
  std::optional<Reply> OwnDescriptor(uint8_t type, uint8_t index, uint32_t length) override;
  Reply TakeOut(uint8_t endpoint, const uint8_t* out, uint32_t length) override;

 private:
  Reply TriggerReplyFor(uint32_t length);
  Reply Download(const uint8_t* out, uint32_t length);
  ReturnAs ComeBack(bool updateMode) const;

  DeviceScript normalMode_;
  Q417Script q417_;
  bool updateMode_ = false;
  uint32_t triggerRequests_ = 0;
  // The download protocol.
  std::vector<uint8_t> header_;
  bool inImage_ = false;
  std::vector<uint8_t> flash_;
  uint32_t imageLength_ = 0;
  uint32_t imageReceived_ = 0;
  uint32_t downloadsCompleted_ = 0;
};

// The device as a Q417, or null.
const Q417Device* AsQ417(const UsbDevice* device);

}  // namespace winsim::usb
