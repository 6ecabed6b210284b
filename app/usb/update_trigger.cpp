#include <stddef.h>
#include <string.h>

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

#include "update_trigger.h"
#include "usb_devices.h"

static_assert(sizeof(void*) != 4 || sizeof(USB_DESCRIPTOR_REQUEST) == 12);
static_assert(sizeof(void*) != 4 || sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);

namespace {

constexpr ULONG Triggered = 0;
constexpr ULONG NotTriggered = 1;

// A configuration-descriptor request: the published request followed by
// wLength bytes of data.
constexpr ULONG RequestDataOffset = sizeof(USB_DESCRIPTOR_REQUEST);
constexpr ULONG HeaderRequestLength = RequestDataOffset + sizeof(USB_CONFIGURATION_DESCRIPTOR);

// Fills the request part of a zero-filled buffer. bmRequest and bRequest
// stay 0: the control code itself makes it a GET_DESCRIPTOR.
void SetDescriptorRequest(BYTE* buffer, ULONG port, UCHAR descriptorIndex, USHORT length) {
  USB_DESCRIPTOR_REQUEST request = {};
  request.ConnectionIndex = port;
  request.SetupPacket.wValue =
      static_cast<USHORT>((USB_CONFIGURATION_DESCRIPTOR_TYPE << 8) | descriptorIndex);
  request.SetupPacket.wLength = length;
  memcpy(buffer, &request, sizeof(request));
}

// The configuration descriptor's wTotalLength (little-endian) in an answer.
USHORT TotalLengthOf(const BYTE* answer) {
  const BYTE* field =
      answer + RequestDataOffset + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength);
  return static_cast<USHORT>(field[0] | (field[1] << 8));
}

bool IsTriggerSignal(DWORD error) { return error == ERROR_GEN_FAILURE || error == ERROR_CRC; }

}  // namespace

ULONG TriggerUpdateMode(ULONG slot) {
  if (slot >= UsbDeviceTable.Count || slot >= MaxDeviceEntries) {
    return NotTriggered;
  }
  const DeviceEntry& entry = UsbDeviceTable.Entries[slot];
  return SendTriggerRequest(entry.HubHandle, entry.ConnectionIndex, 0) != 0 ? NotTriggered
                                                                            : Triggered;
}

ULONG SendTriggerRequest(HANDLE hub, ULONG port, ULONG descriptorIndex) {
  BYTE header[HeaderRequestLength] = {};
  SetDescriptorRequest(header, port, static_cast<UCHAR>(descriptorIndex & 0xFF),
                       sizeof(USB_CONFIGURATION_DESCRIPTOR));
  DWORD returned = 0;
  if (!DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, header, sizeof(header),
                       header, sizeof(header), &returned, NULL) ||
      returned != sizeof(header)) {
    return NotTriggered;
  }
  const USHORT totalLength = TotalLengthOf(header);
  if (totalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return NotTriggered;
  }

  const ULONG triggerLength = RequestDataOffset + totalLength;
  BYTE* trigger = static_cast<BYTE*>(GlobalAlloc(GPTR, triggerLength));
  if (trigger == NULL) {
    return NotTriggered;
  }
  ULONG result = Triggered;
  for (ULONG attempt = 0; attempt < TriggerAttempts; ++attempt) {
    // Each attempt is the same request, whatever a failed one left behind.
    SetDescriptorRequest(trigger, port, TriggerDescriptorIndex, totalLength);
    if (DeviceIoControl(hub, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, trigger, triggerLength,
                        trigger, triggerLength, &returned, NULL) ||
        !IsTriggerSignal(GetLastError())) {
      result = NotTriggered;  // the device answered, or failed in another way
      break;
    }
  }
  GlobalFree(trigger);
  return result;
}
