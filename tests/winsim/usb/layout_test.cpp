// The published layouts and control codes, as the application and the
// driver read them (offsets checked on the host build; the 32-bit sizes are
// pinned in the headers themselves).
#include <gtest/gtest.h>

#include <stddef.h>

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>
#include <usbdi.h>
#include <usbdlib.h>

namespace {

struct Offset {
  const char* what;
  size_t actual;
  size_t expected;
};

TEST(UsbLayout, HubStructuresHaveThePublishedOffsets) {
  const Offset offsets[] = {
      {"node information bNumberOfPorts",
       offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts), 6},
      {"node information HubIsBusPowered",
       offsetof(USB_NODE_INFORMATION, u.HubInformation.HubIsBusPowered), 75},
      {"connection DeviceDescriptor", offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor),
       4},
      {"connection DeviceIsHub", offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub), 24},
      {"connection DeviceAddress", offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress), 25},
      {"connection NumberOfOpenPipes", offsetof(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes),
       27},
      {"connection ConnectionStatus", offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus),
       31},
      {"connection PipeList", offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList), 35},
      {"pipe ScheduleOffset", offsetof(USB_PIPE_INFO, ScheduleOffset), 7},
      {"root hub name", offsetof(USB_ROOT_HUB_NAME, RootHubName), 4},
      {"controller driver key", offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName), 4},
      {"port name", offsetof(USB_NODE_CONNECTION_NAME, NodeName), 8},
      {"port driver key", offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName), 8},
      {"descriptor request wValue", offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wValue), 6},
      {"descriptor request wLength", offsetof(USB_DESCRIPTOR_REQUEST, SetupPacket.wLength), 10},
      {"descriptor request Data", offsetof(USB_DESCRIPTOR_REQUEST, Data), 12},
      {"configuration wTotalLength", offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), 2},
      {"device idVendor", offsetof(USB_DEVICE_DESCRIPTOR, idVendor), 8},
  };
  for (const Offset& offset : offsets) {
    EXPECT_EQ(offset.actual, offset.expected) << offset.what;
  }
  EXPECT_EQ(sizeof(USB_NODE_CONNECTION_INFORMATION) + 30 * sizeof(USB_PIPE_INFO), 365u);
}

TEST(UsbLayout, ControlCodesHaveThePublishedValues) {
  const struct {
    const char* name;
    ULONG actual;
    ULONG expected;
  } codes[] = {
      {"IOCTL_USB_GET_ROOT_HUB_NAME", IOCTL_USB_GET_ROOT_HUB_NAME, 0x220408},
      {"IOCTL_USB_GET_NODE_INFORMATION", IOCTL_USB_GET_NODE_INFORMATION, 0x220408},
      {"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION", IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
       0x22040C},
      {"IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION",
       IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, 0x220410},
      {"IOCTL_USB_GET_NODE_CONNECTION_NAME", IOCTL_USB_GET_NODE_CONNECTION_NAME, 0x220414},
      {"IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
       0x220420},
      {"IOCTL_GET_HCD_DRIVERKEY_NAME", IOCTL_GET_HCD_DRIVERKEY_NAME, 0x220424},
      {"IOCTL_INTERNAL_USB_SUBMIT_URB", IOCTL_INTERNAL_USB_SUBMIT_URB, 0x220003},
  };
  for (const auto& code : codes) {
    EXPECT_EQ(code.actual, code.expected) << code.name;
  }
}

TEST(UsbLayout, HostControllerInterfaceClass) {
  const GUID expected = {
      0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};
  EXPECT_TRUE(IsEqualGUID(GUID_CLASS_USB_HOST_CONTROLLER, expected));
}

TEST(UsbLayout, UrbBuildersFillTheFieldsDriversRelyOn) {
  URB urb = {};
  UCHAR buffer[9];
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0x55, 0x0409, buffer, NULL,
                               sizeof(buffer), NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Length, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 0x55);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);

  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), &urb,
                                         NULL, NULL, 5, USBD_SHORT_TRANSFER_OK, NULL);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, &urb);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
  EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, ULONG{USBD_SHORT_TRANSFER_OK});
  // One interface with two pipes: the request ends right after pipe 1.
  EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2),
            offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
                offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
}

}  // namespace
