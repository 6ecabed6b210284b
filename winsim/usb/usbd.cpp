// winsim: the USBD library (usbd.sys): descriptor parsing and the
// select-configuration request. Every read stays inside the configuration's
// wTotalLength bytes, whatever the descriptors claim.
#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>

namespace {

const UCHAR* Bytes(const void* p) { return static_cast<const UCHAR*>(p); }

// The configuration's length, or 0 when it is too short to hold its own
// header (then nothing inside it is read).
ULONG ConfigurationLength(PUSB_CONFIGURATION_DESCRIPTOR configuration) {
  const ULONG total = configuration->wTotalLength;
  return total < sizeof(USB_CONFIGURATION_DESCRIPTOR) ? 0 : total;
}

}  // namespace

extern "C" {

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x0110;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
  const UCHAR* const begin = Bytes(DescriptorBuffer);
  const UCHAR* const end = begin + TotalLength;
  const UCHAR* at = Bytes(StartPosition);
  if (at < begin || at >= end) {
    return nullptr;
  }
  // Each descriptor needs its two header bytes and its whole bLength inside.
  while (end - at >= 2) {
    const UCHAR length = at[0];
    if (length < 2 || length > end - at) {
      return nullptr;
    }
    if (DescriptorType == -1 || at[1] == DescriptorType) {
      return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(at));
    }
    at += length;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  const ULONG total = ConfigurationLength(ConfigurationDescriptor);
  const UCHAR* const end = Bytes(ConfigurationDescriptor) + total;
  PVOID at = StartPosition;
  while (PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(ConfigurationDescriptor, total, at,
                                                              USB_INTERFACE_DESCRIPTOR_TYPE)) {
    const UCHAR* next = Bytes(found) + found->bLength;
    // A short interface descriptor is skipped rather than read past its end.
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
      auto matches = [](LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; };
      if (matches(InterfaceNumber, candidate->bInterfaceNumber) &&
          matches(AlternateSetting, candidate->bAlternateSetting) &&
          matches(InterfaceClass, candidate->bInterfaceClass) &&
          matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
          matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
        return candidate;
      }
    }
    if (next >= end) {
      return nullptr;
    }
    at = const_cast<UCHAR*>(next);
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, UCHAR* BufferEnd) {
  const UCHAR* const begin = Bytes(InterfaceDescriptor);
  const UCHAR* at = begin;
  if (BufferEnd - at < 2 || at[0] < 2 || at[0] > BufferEnd - at) {
    return 0;
  }
  at += at[0];
  while (BufferEnd - at >= 2 && at[0] >= 2 && at[0] <= BufferEnd - at &&
         at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    at += at[0];
  }
  return static_cast<ULONG>(at - begin);
}

}  // extern "C"
