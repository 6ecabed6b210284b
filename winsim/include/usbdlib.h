// winsim: <usbdlib.h>: the USBD library (usbd.sys on Windows) and the
// URB-building macros. Include <usbdi.h> (and <wdm.h>) first, as with the DDK.
#pragma once

#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, \
                                               transferBufferMDL, transferBufferLength, \
                                               transferFlags, link)                     \
  {                                                                                     \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                \
    (urb)->UrbHeader.Length = (length);                                                 \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                        \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);    \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);          \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                  \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                 \
  }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, \
                                     transferBuffer, transferBufferMDL, transferBufferLength,  \
                                     link)                                                     \
  {                                                                                            \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                       \
    (urb)->UrbHeader.Length = (length);                                                        \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);          \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                      \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                      \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                              \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                              \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                       \
  }

#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
  {                                                                                       \
    (urb)->UrbHeader.Function = (op);                                                     \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);             \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);              \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);            \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                  \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                    \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                   \
  }

#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)      \
  {                                                                        \
    (urb)->UrbHeader.Function = (op);                                      \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);   \
    (urb)->UrbControlFeatureRequest.Index = (index);                       \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                      \
  }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)       \
  {                                                                                    \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                     \
    (urb)->UrbHeader.Length = (length);                                                \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, \
                                       alternateSetting)                                  \
  {                                                                                       \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                            \
    (urb)->UrbHeader.Length = (length);                                                   \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);            \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);              \
    (urb)->UrbSelectInterface.Interface.Length =                                          \
        (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));        \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                \
  }

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes) \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                              \
   ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +          \
   ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                              \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - \
   sizeof(USBD_PIPE_INFORMATION))

#ifdef __cplusplus
extern "C" {
#endif

VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// The first interface descriptor with that number and alternate setting.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting);

// The first descriptor of DescriptorType (-1: any) at or after
// StartPosition inside the TotalLength bytes of DescriptorBuffer. winsim
// never reads outside those bytes: a descriptor whose bLength is below 2 or
// runs past the end ends the search.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// The first interface descriptor at or after StartPosition that matches
// every criterion that is not -1, inside the configuration's wTotalLength
// bytes; NULL when there is none.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

// A select-configuration URB (non-paged pool; the caller frees it with
// ExFreePool) with one interface information per entry of InterfaceList
// (ended by an entry whose InterfaceDescriptor is NULL); each entry's
// Interface then points into the URB. Pipes get
// USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE. NULL when the pool says no.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Bytes from InterfaceDescriptor to the next interface descriptor (or
// BufferEnd), its endpoints and class descriptors included.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, UCHAR* BufferEnd);

#ifdef __cplusplus
}
#endif
