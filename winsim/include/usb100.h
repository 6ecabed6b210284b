// winsim: <usb100.h>, the USB 1.x definitions (now in <usbspec.h>).
#pragma once

#include <usbspec.h>
