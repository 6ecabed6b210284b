// winsim: the USBD library's select-configuration request (the part of
// usbd.sys that allocates; descriptor parsing is in usbd.cpp).
#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include "ground/verifier.h"

namespace {

constexpr ULONG kUsbdPoolTag = winsim::PoolTag("USBD");

}  // namespace

extern "C" {

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  // The URB holds the header part of the select-configuration request and
  // then one interface information per listed interface
  // (GET_SELECT_CONFIGURATION_REQUEST_SIZE). One spare pipe record at the
  // end keeps the Pipes[0] of an interface without endpoints inside the
  // allocation.
  constexpr size_t headerPart =
      sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
  size_t size = headerPart;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
  }
  const size_t allocation = size + sizeof(USBD_PIPE_INFORMATION);
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kUsbdPoolTag));
  if (urb == nullptr) {
    return nullptr;
  }
  RtlZeroMemory(urb, allocation);
  auto* at = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
       ++entry) {
    PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    const ULONG pipes = descriptor->bNumEndpoints;
    information->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
    information->InterfaceNumber = descriptor->bInterfaceNumber;
    information->AlternateSetting = descriptor->bAlternateSetting;
    information->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i) {
      information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      information->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = information;
    at += information->Length;
  }
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  return urb;
}

}  // extern "C"
