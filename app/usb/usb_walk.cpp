// The discovery walk: numbered host controllers, then those found through
// the host-controller device interface, each walked once; under each, its
// root hub's ports in ascending order, an external hub's whole subtree
// taking the place of its port.
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <windows.h>
#include <setupapi.h>
#include <initguid.h>
#include <usbiodef.h>

#include "usb_devices.h"

static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
static_assert(sizeof(void*) != 4 || sizeof(USB_NODE_INFORMATION) == 76);
static_assert(sizeof(void*) != 4 ||
              offsetof(USB_NODE_INFORMATION, u.HubInformation.HubDescriptor.bNumberOfPorts) == 6);
static_assert(sizeof(void*) != 4 || sizeof(USB_NODE_CONNECTION_INFORMATION) == 35);
static_assert(sizeof(void*) != 4 || offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == 24);
static_assert(sizeof(void*) != 4 ||
              offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31);
static_assert(sizeof(void*) != 4 || sizeof(USB_PIPE_INFO) == 11);

DeviceTable UsbDeviceTable;

namespace {

// Every device of the walk is opened this way.
HANDLE OpenUsbDevice(const char* path) {
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

void CopyText(char (&destination)[DescriptionBufferSize], const char* source) {
  ULONG i = 0;
  for (; i + 1 < DescriptionBufferSize && source[i] != '\0'; ++i) {
    destination[i] = source[i];
  }
  destination[i] = '\0';
}

// The connection status the hub wrote. It is read as the 4-byte number it
// is, not through the enumeration type: a faulty hub may write any value, and
// loading a value that is not an enumerator through the enumeration is
// undefined behaviour.
static_assert(sizeof(USB_CONNECTION_STATUS) == sizeof(ULONG));
ULONG ConnectionStatusOf(const BYTE* connectionInformation) {
  ULONG status = 0;
  memcpy(&status,
         connectionInformation + offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus),
         sizeof(status));
  return status;
}

// Stores and lists a connected device that is not a hub, if the table has
// room and its driver key can be read.
void AddDevice(HANDLE hub, ULONG port) {
  DeviceTable& table = UsbDeviceTable;
  if (table.Count >= MaxDeviceEntries) {
    return;
  }
  char* driverKey = GetDriverKeyName(hub, port);
  if (driverKey == NULL) {
    return;
  }
  const char* description = LookupDeviceDescription(driverKey);
  GlobalFree(driverKey);
  DeviceEntry& entry = table.Entries[table.Count];
  CopyText(entry.Description, description != NULL ? description : UnknownDeviceDescription);
  // Only a listed device counts, so that list position i stays slot i.
  if (AddDeviceListItem(entry.Description)) {
    entry.HubHandle = hub;
    entry.ConnectionIndex = port;
    ++table.Count;
  } else {
    entry.Description[0] = '\0';
  }
}

// Whether a slot from firstSlot on holds the hub's handle.
bool TableHoldsHandle(HANDLE hub, ULONG firstSlot) {
  for (ULONG i = firstSlot; i < UsbDeviceTable.Count; ++i) {
    if (UsbDeviceTable.Entries[i].HubHandle == hub) {
      return true;
    }
  }
  return false;
}

// Walks an open controller unless the record knows its root hub, and closes
// it. A controller whose root hub's name cannot be read is not walked.
void WalkHostControllerOnce(HANDLE hostController, WalkedControllerRecord& record) {
  char* rootHubName = GetRootHubName(hostController);
  if (rootHubName != NULL) {
    if (!IsControllerRecorded(record, rootHubName)) {
      RecordController(record, rootHubName);  // when full, later ones are compared still
      EnumerateHub(rootHubName, 0);
    }
    GlobalFree(rootHubName);
  }
  CloseHandle(hostController);
}

void WalkNumberedHostControllers(WalkedControllerRecord& record) {
  for (ULONG n = 0; n < MaxHostControllerNames; ++n) {
    char name[16];
    snprintf(name, sizeof(name), "\\\\.\\HCD%lu", static_cast<unsigned long>(n));
    const HANDLE hostController = OpenUsbDevice(name);
    if (hostController != INVALID_HANDLE_VALUE) {
      WalkHostControllerOnce(hostController, record);
    }
  }
}

// Opens the interface's device path; INVALID_HANDLE_VALUE when its detail
// cannot be read or the path cannot be opened.
HANDLE OpenInterface(HDEVINFO interfaces, SP_DEVICE_INTERFACE_DATA& interfaceData) {
  DWORD requiredSize = 0;
  SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, NULL, 0, &requiredSize, NULL);
  if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return INVALID_HANDLE_VALUE;
  }
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail =
      static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(GlobalAlloc(GPTR, requiredSize));
  if (detail == NULL) {
    return INVALID_HANDLE_VALUE;
  }
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  HANDLE hostController = INVALID_HANDLE_VALUE;
  if (SetupDiGetDeviceInterfaceDetailA(interfaces, &interfaceData, detail, requiredSize, NULL,
                                       NULL)) {
    hostController = OpenUsbDevice(detail->DevicePath);
  }
  GlobalFree(detail);
  return hostController;
}

void WalkInterfaceHostControllers(WalkedControllerRecord& record) {
  const HDEVINFO interfaces = SetupDiGetClassDevsA(&GUID_CLASS_USB_HOST_CONTROLLER, NULL, NULL,
                                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (interfaces == INVALID_HANDLE_VALUE) {
    return;
  }
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof(interfaceData);
  for (DWORD index = 0; SetupDiEnumDeviceInterfaces(
           interfaces, NULL, &GUID_CLASS_USB_HOST_CONTROLLER, index, &interfaceData);
       ++index) {
    const HANDLE hostController = OpenInterface(interfaces, interfaceData);
    if (hostController != INVALID_HANDLE_VALUE) {
      WalkHostControllerOnce(hostController, record);
    }
  }
  SetupDiDestroyDeviceInfoList(interfaces);
}

}  // namespace

void EnumerateUsbDevices(ULONG* count) {
  ClearDeviceTable();
  ClearDeviceList();
  WalkedControllerRecord record = {};
  WalkNumberedHostControllers(record);
  WalkInterfaceHostControllers(record);
  *count = UsbDeviceTable.Count;
}

void EnumerateHub(const char* hubName, ULONG externalHubDepth) {
  static const char DevicePrefix[] = "\\\\.\\";
  const size_t nameLength = strlen(hubName);
  char* path = static_cast<char*>(GlobalAlloc(GPTR, sizeof(DevicePrefix) + nameLength));
  if (path == NULL) {
    return;
  }
  memcpy(path, DevicePrefix, sizeof(DevicePrefix) - 1);
  memcpy(path + sizeof(DevicePrefix) - 1, hubName, nameLength + 1);
  const HANDLE hub = OpenUsbDevice(path);
  GlobalFree(path);
  if (hub == INVALID_HANDLE_VALUE) {
    return;
  }
  USB_NODE_INFORMATION node = {};
  DWORD returned = 0;
  if (!DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &node, sizeof(node), &node,
                       sizeof(node), &returned, NULL)) {
    CloseHandle(hub);
    return;
  }
  const ULONG firstSlot = UsbDeviceTable.Count;
  EnumerateHubPorts(hub, node.u.HubInformation.HubDescriptor.bNumberOfPorts, externalHubDepth);
  // Kept only while a device of this hub's own ports holds it.
  if (!TableHoldsHandle(hub, firstSlot)) {
    CloseHandle(hub);
  }
}

void EnumerateHubPorts(HANDLE hub, ULONG portCount, ULONG externalHubDepth) {
  for (ULONG port = 1; port <= portCount; ++port) {
    BYTE* buffer = static_cast<BYTE*>(GlobalAlloc(GPTR, ConnectionInfoSize));
    if (buffer == NULL) {
      return;
    }
    PUSB_NODE_CONNECTION_INFORMATION connection =
        reinterpret_cast<PUSB_NODE_CONNECTION_INFORMATION>(buffer);
    connection->ConnectionIndex = port;
    DWORD returned = 0;
    if (DeviceIoControl(hub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, ConnectionInfoSize,
                        buffer, ConnectionInfoSize, &returned, NULL)) {
      if (connection->DeviceIsHub) {
        if (externalHubDepth < MaxExternalHubDepth) {
          char* hubName = GetExternalHubName(hub, port);
          if (hubName != NULL) {
            EnumerateHub(hubName, externalHubDepth + 1);
            GlobalFree(hubName);
          }
        }
      } else if (ConnectionStatusOf(buffer) == DeviceConnected) {
        AddDevice(hub, port);
      }
    }
    GlobalFree(buffer);
  }
}

void ClearDeviceTable() {
  DeviceTable& table = UsbDeviceTable;
  for (ULONG i = 0; i < table.Count && i < MaxDeviceEntries; ++i) {
    const HANDLE hub = table.Entries[i].HubHandle;
    bool closedAlready = false;
    for (ULONG j = 0; j < i; ++j) {
      closedAlready = closedAlready || table.Entries[j].HubHandle == hub;
    }
    if (hub != NULL && !closedAlready) {
      CloseHandle(hub);
    }
  }
  for (ULONG i = 0; i < MaxDeviceEntries; ++i) {
    table.Entries[i].HubHandle = NULL;
    table.Entries[i].ConnectionIndex = 0;
    table.Entries[i].Description[0] = '\0';
  }
  table.Count = 0;
}
