// winsim: how long a transfer takes on a full-speed USB bus (12 Mbit/s),
// the model behind UsbTreeScript::timing.
//
// The bus runs in 1 ms frames. Within a frame the host controller moves:
//  - bulk: up to 19 packets (19 x 64 bytes = 1216 bytes, the most a
//    full-speed frame carries in bulk packets); the same 19 for smaller
//    packet sizes (a simplification: the bus could fit more small packets);
//  - interrupt: one packet each `interval` frames (at least every frame);
//  - control: one transaction a frame: the setup stage, each data packet
//    (of the default endpoint's maximum packet size), the status stage.
// A transfer of no data still takes one packet. Transfers on one controller
// follow one another (the frames' bandwidth is shared); different
// controllers run side by side.
#pragma once

#include <cstdint>

#include "ground/scheduler.h"

namespace winsim::usb {

inline constexpr VirtualTime kFullSpeedFrame = kTicksPerMillisecond;
inline constexpr uint32_t kFullSpeedBulkPacketsPerFrame = 19;

enum class TransferType { Control, Bulk, Interrupt };

// The frames a transfer of `length` bytes occupies. maxPacketSize: the
// endpoint's (for control, the default endpoint's); a size of 0 counts as 64.
constexpr uint32_t FullSpeedFrames(TransferType type, uint32_t length, uint16_t maxPacketSize,
                                   uint8_t interval = 1) {
  const uint32_t packetSize = maxPacketSize == 0 ? 64 : maxPacketSize;
  const uint32_t packets = length == 0 ? 1 : (length + packetSize - 1) / packetSize;
  switch (type) {
    case TransferType::Bulk:
      return (packets + kFullSpeedBulkPacketsPerFrame - 1) / kFullSpeedBulkPacketsPerFrame;
    case TransferType::Interrupt:
      return packets * (interval == 0 ? 1u : interval);
    case TransferType::Control:
      // Setup, data (none for a request without data), status.
      return 1 + (length == 0 ? 0 : packets) + 1;
  }
  return 1;
}

}  // namespace winsim::usb
