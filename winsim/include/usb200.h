// winsim: <usb200.h>, the USB 2.0 definitions (now in <usbspec.h>).
#pragma once

#include <usbspec.h>
