// Where the walk finds the device list: control IDC_DEVICE_LIST of the
// application's main window, the main dialog.
#include <afxwin.h>

#include "usb_devices.h"

HWND GetDeviceListWindow() {
  CWnd* mainWindow = AfxGetMainWnd();
  if (mainWindow == NULL) {
    return NULL;
  }
  return ::GetDlgItem(mainWindow->GetSafeHwnd(), DeviceListControlId);
}
