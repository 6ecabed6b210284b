// Device description lookup: the text the device manager shows for the
// device whose driver key name a hub reported.
//
// Called on the dialog's thread only, by the discovery walk. Not reentrant:
// every call reuses one buffer.
#pragma once

#include <windows.h>

// Size of the one buffer that holds a driver key and then the description.
constexpr ULONG DescriptionBufferSize = 512;

// Searches the configuration manager's device tree depth first, from the
// root, for the node whose driver key (CM_DRP_DRIVER) equals driverKeyName
// exactly, and returns its description (CM_DRP_DEVICEDESC). The result is the
// shared buffer, NUL-terminated, valid until the next call; null when the
// root cannot be located, no node carries the name or the node has no
// readable description.
const char* LookupDeviceDescription(const char* driverKeyName);
