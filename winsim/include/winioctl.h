// winsim: <winioctl.h>, the device-control definitions of user mode. The
// control-code rule itself lives in <devioctl.h>, which <wdm.h> shares.
#pragma once

#include <windef.h>
#include <devioctl.h>

#ifndef FILE_SPECIAL_ACCESS
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#endif
#ifndef FILE_DEVICE_DISK
#define FILE_DEVICE_DISK 0x00000007
#endif
#ifndef FILE_DEVICE_MASS_STORAGE
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#endif
