// Names that host controllers and hubs report, fetched in two calls (the
// length first, then the whole answer) and converted to ANSI at once.
#include <stddef.h>

#include "name_answer.h"
#include "usb_devices.h"

// Controller names share one layout, port names another.
static_assert(sizeof(USB_ROOT_HUB_NAME) == sizeof(USB_HCD_DRIVERKEY_NAME));
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) ==
              offsetof(USB_HCD_DRIVERKEY_NAME, DriverKeyName));
static_assert(sizeof(USB_NODE_CONNECTION_NAME) == sizeof(USB_NODE_CONNECTION_DRIVERKEY_NAME));
static_assert(offsetof(USB_NODE_CONNECTION_NAME, NodeName) ==
              offsetof(USB_NODE_CONNECTION_DRIVERKEY_NAME, DriverKeyName));
static_assert(sizeof(void*) != 4 || sizeof(USB_ROOT_HUB_NAME) == 6);
static_assert(sizeof(void*) != 4 || sizeof(USB_NODE_CONNECTION_NAME) == 10);

namespace {

// A name a host controller reports: ActualLength, then the name at byte 4.
char* GetControllerName(HANDLE hostController, DWORD controlCode) {
  USB_ROOT_HUB_NAME probe = {};
  DWORD returned = 0;
  if (!DeviceIoControl(hostController, controlCode, NULL, 0, &probe, sizeof(probe), &returned,
                       NULL)) {
    return NULL;
  }
  const ULONG fetchLength = NameAnswerFetchLength(probe.ActualLength, sizeof(probe));
  if (fetchLength == 0) {
    return NULL;
  }
  BYTE* answer = static_cast<BYTE*>(GlobalAlloc(GPTR, NameAnswerBufferSize(fetchLength)));
  if (answer == NULL) {
    return NULL;
  }
  char* name = NULL;
  if (DeviceIoControl(hostController, controlCode, NULL, 0, answer, fetchLength, &returned, NULL)) {
    name = WideToAnsi(
        TerminateNameAnswer(answer, fetchLength, offsetof(USB_ROOT_HUB_NAME, RootHubName)));
  }
  GlobalFree(answer);
  return name;
}

// A name a hub reports for one of its ports: ConnectionIndex, ActualLength,
// then the name at byte 8; the same buffer goes in and comes back.
char* GetPortName(HANDLE hub, ULONG port, DWORD controlCode) {
  USB_NODE_CONNECTION_NAME probe = {};
  probe.ConnectionIndex = port;
  DWORD returned = 0;
  if (!DeviceIoControl(hub, controlCode, &probe, sizeof(probe), &probe, sizeof(probe), &returned,
                       NULL)) {
    return NULL;
  }
  const ULONG fetchLength = NameAnswerFetchLength(probe.ActualLength, sizeof(probe));
  if (fetchLength == 0) {
    return NULL;
  }
  BYTE* answer = static_cast<BYTE*>(GlobalAlloc(GPTR, NameAnswerBufferSize(fetchLength)));
  if (answer == NULL) {
    return NULL;
  }
  reinterpret_cast<USB_NODE_CONNECTION_NAME*>(answer)->ConnectionIndex = port;
  char* name = NULL;
  if (DeviceIoControl(hub, controlCode, answer, fetchLength, answer, fetchLength, &returned,
                      NULL)) {
    name = WideToAnsi(
        TerminateNameAnswer(answer, fetchLength, offsetof(USB_NODE_CONNECTION_NAME, NodeName)));
  }
  GlobalFree(answer);
  return name;
}

}  // namespace

char* GetRootHubName(HANDLE hostController) {
  return GetControllerName(hostController, IOCTL_USB_GET_ROOT_HUB_NAME);
}

char* GetExternalHubName(HANDLE hub, ULONG port) {
  return GetPortName(hub, port, IOCTL_USB_GET_NODE_CONNECTION_NAME);
}

char* GetDriverKeyName(HANDLE hub, ULONG port) {
  return GetPortName(hub, port, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME);
}

char* WideToAnsi(const WCHAR* text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL);
  if (size <= 0) {
    return NULL;
  }
  char* ansi = static_cast<char*>(GlobalAlloc(GPTR, static_cast<SIZE_T>(size)));
  if (ansi == NULL) {
    return NULL;
  }
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, ansi, size, NULL, NULL) == 0) {
    GlobalFree(ansi);
    return NULL;
  }
  return ansi;
}
