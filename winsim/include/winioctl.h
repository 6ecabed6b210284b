// winsim: <winioctl.h>, the device-control definitions of user mode. The
// control-code rule itself lives in <devioctl.h>, which <wdm.h> shares.
#pragma once

#include <windef.h>
#include <devioctl.h>
