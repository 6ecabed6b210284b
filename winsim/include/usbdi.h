// winsim: <usbdi.h>: what a USB client driver includes (URBs and the USB
// control codes).
#pragma once

#include <usb.h>
#include <usbioctl.h>

#define USBD_STATUS_CANCELING ((USBD_STATUS)0x00020000)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100)
#define USBD_STATUS_ERROR ((USBD_STATUS)0x80000000)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500)
#define USBD_STATUS_HALTED ((USBD_STATUS)0xc0000000)

#define USBD_HALTED(Status) ((ULONG)(Status) >> 30 == 3)
#define USBD_STATUS(Status) ((ULONG)(Status)&0x0fffffffL)
