// winsim: the USBD library (usbd.sys): descriptor parsing and the
// select-configuration request. The parser trusts the descriptors as
// Windows' library does: it walks by bLength up to the wTotalLength the
// configuration claims, and returns an interface descriptor that starts
// inside that length whatever its bLength, even one that runs past the end.
// A client validates the configuration before it parses it.
#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <cstdint>

namespace {

const UCHAR* Bytes(const void* p) { return static_cast<const UCHAR*>(p); }

}  // namespace

extern "C" {

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x0110;
}

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
  const UCHAR* const end = Bytes(DescriptorBuffer) + TotalLength;
  const UCHAR* at = Bytes(StartPosition);
  // A descriptor whose two header bytes lie before the end is looked at,
  // whatever its bLength. (Windows reads a header that straddles the end
  // too; winsim does not read past TotalLength for it.) bLength 0 ends the
  // walk, where Windows' walk would not move on.
  while (at >= Bytes(DescriptorBuffer) && end - at >= 2) {
    if (DescriptorType == -1 || at[1] == DescriptorType) {
      return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(at));
    }
    if (at[0] == 0) {
      return nullptr;
    }
    at += at[0];
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  PVOID at = StartPosition;
  while (PUSB_COMMON_DESCRIPTOR found = USBD_ParseDescriptors(ConfigurationDescriptor, total, at,
                                                              USB_INTERFACE_DESCRIPTOR_TYPE)) {
    // A criterion given is compared with the descriptor's field whatever
    // its bLength says; one that is -1 reads nothing.
    auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    if ((InterfaceNumber == -1 || InterfaceNumber == candidate->bInterfaceNumber) &&
        (AlternateSetting == -1 || AlternateSetting == candidate->bAlternateSetting) &&
        (InterfaceClass == -1 || InterfaceClass == candidate->bInterfaceClass) &&
        (InterfaceSubClass == -1 || InterfaceSubClass == candidate->bInterfaceSubClass) &&
        (InterfaceProtocol == -1 || InterfaceProtocol == candidate->bInterfaceProtocol)) {
      return candidate;
    }
    if (found->bLength == 0) {
      return nullptr;
    }
    at = const_cast<UCHAR*>(Bytes(found) + found->bLength);
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
