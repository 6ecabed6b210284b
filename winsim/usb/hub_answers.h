// winsim: the answers of host controllers and hubs to their published
// control codes, written into a METHOD_BUFFERED system buffer. Pure
// functions, so the layouts are tested without a machine.
//
// Short buffers behave as on Windows: a buffer below the structure's fixed
// size fails with STATUS_BUFFER_TOO_SMALL; a name that does not fit is cut
// (whole characters) while ActualLength reports the size the whole answer
// needs, so callers ask twice (the two-call pattern).
#pragma once

#include <ntstatus.h>
#include <usbioctl.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace winsim::usb {

struct Answer {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG information = 0;  // bytes of the system buffer that go back
};

// A name answer: ULONG ActualLength at nameOffset - 4, the UTF-16 name and
// its NUL from nameOffset (4 for controller names, 8 for port names, whose
// ConnectionIndex at 0 is left as the caller sent it).
Answer AnswerName(uint8_t* buffer, ULONG outputLength, ULONG nameOffset, std::u16string_view name);

Answer AnswerNodeInformation(uint8_t* buffer, ULONG outputLength, uint8_t ports, bool busPowered);

// What a hub knows of one of its ports.
struct PortView {
  USB_CONNECTION_STATUS status = NoDeviceConnected;
  bool deviceIsHub = false;
  bool lowSpeed = false;
  std::vector<uint8_t> deviceDescriptor;  // 18 bytes, or empty
  uint8_t configurationValue = 0;
  uint16_t deviceAddress = 0;
  std::vector<std::vector<uint8_t>> openPipes;  // endpoint descriptors (7 bytes)
};

// ConnectionIndex (byte 0) is left as sent; the pipes that fit follow the
// fixed part and NumberOfOpenPipes counts them all.
Answer AnswerConnectionInformation(uint8_t* buffer, ULONG outputLength, const PortView& port);

}  // namespace winsim::usb
