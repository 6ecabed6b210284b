// USB topology walk and device table: every host controller, its root hub
// and the external hubs below it, depth first; one DeviceEntry per connected
// device that is not a hub, listed in the main dialog's device list.
//
// Everything here runs on the dialog's thread (initialisation, Refresh,
// close, Program); the download worker never touches the table. Names
// returned by the getters are allocated with GlobalAlloc and released by the
// caller with GlobalFree.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

#include "controller_record.h"
#include "device_description.h"

// Numbered host-controller names tried: "\\.\HCD0" to "\\.\HCD9".
constexpr ULONG MaxHostControllerNames = 10;
// Slots of the device table; an eleventh device is neither stored nor listed.
constexpr ULONG MaxDeviceEntries = 10;
// External hubs USB allows between a root hub and a device; the walk goes no
// deeper, so a hub that names itself or an ancestor cannot recurse for ever.
constexpr ULONG MaxExternalHubDepth = 5;
// Connection information: the fixed part and room for 30 pipe records.
constexpr ULONG ConnectionInfoPipeRecords = 30;
constexpr ULONG ConnectionInfoSize =
    sizeof(USB_NODE_CONNECTION_INFORMATION) + ConnectionInfoPipeRecords * sizeof(USB_PIPE_INFO);
static_assert(sizeof(void*) != 4 || ConnectionInfoSize == 365, "35 + 30 * 11 bytes");

// The device list is control IDC_DEVICE_LIST of the main dialog.
constexpr int DeviceListControlId = 1002;
// Listed for a device whose driver key was read but has no description.
constexpr char UnknownDeviceDescription[] = "Unknown USB Device";

struct DeviceEntry {
  HANDLE HubHandle;       // the parent hub, owned by the table; null when empty
  ULONG ConnectionIndex;  // the hub port, from 1
  char Description[DescriptionBufferSize];
};

// The process-wide table. Slot i is item i of the device list. The table
// owns the hub handles of slots 0 to Count - 1; several slots may hold one.
struct DeviceTable {
  DeviceEntry Entries[MaxDeviceEntries];
  ULONG Count;
};

extern DeviceTable UsbDeviceTable;

// Walks every host controller and refills the table and the device list.
// Whatever the table still held is released first. Failures are silent: what
// cannot be opened or read is passed over. The main dialog must exist.
void EnumerateUsbDevices(ULONG* count);

// Closes every distinct hub handle the table holds, once, and empties it.
void ClearDeviceTable();

// The device list of the main window; null when there is none.
HWND GetDeviceListWindow();
// Removes every item of the device list.
void ClearDeviceList();
// Appends an item to the device list; FALSE when it did not go in.
BOOL AddDeviceListItem(const char* text);

// Walks the hub with this symbolic name. externalHubDepth counts the
// external hubs from the root hub down to this one (0 for a root hub).
void EnumerateHub(const char* hubName, ULONG externalHubDepth);
// Walks ports 1 to portCount of an open hub.
void EnumerateHubPorts(HANDLE hub, ULONG portCount, ULONG externalHubDepth);

// Name getters: a new ANSI name, or null.
char* GetRootHubName(HANDLE hostController);
char* GetExternalHubName(HANDLE hub, ULONG port);
char* GetDriverKeyName(HANDLE hub, ULONG port);
// A NUL-terminated UTF-16 string in the ANSI code page; a new copy, or null.
char* WideToAnsi(const WCHAR* text);
