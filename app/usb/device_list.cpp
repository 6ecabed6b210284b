// The main dialog's device list, a drop-down combo box, kept in step with
// the device table.
#include "usb_devices.h"

void ClearDeviceList() {
  const HWND list = GetDeviceListWindow();
  if (list == NULL) {
    return;
  }
  while (SendMessageA(list, CB_GETCOUNT, 0, 0) > 0) {
    if (SendMessageA(list, CB_DELETESTRING, 0, 0) == CB_ERR) {
      return;  // a list that refuses to shrink would hold the walk for ever
    }
  }
}

BOOL AddDeviceListItem(const char* text) {
  const HWND list = GetDeviceListWindow();
  if (list == NULL) {
    return FALSE;
  }
  const LRESULT index = SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  return index != CB_ERR && index != CB_ERRSPACE;
}
