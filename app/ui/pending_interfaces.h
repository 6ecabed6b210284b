// TEMPORARY: declarations of interfaces that other branches are writing
// (USB discovery and trigger in app/usb, the download worker in
// app/ui/download_worker.h, the resource identifiers in app/res/resource.h).
// Delete this file when they are merged, and include their headers where
// this one is included (programmer_dialog.cpp, about_dialog.h,
// programmer_dialog.h). Declarations only: nothing here is implemented.
#pragma once

#include <windows.h>

#include "flash_image.h"

// --- app/usb: the topology walk, the device table and the trigger ----------

// Walks the USB topology, fills the device table and the main window's
// device list (control 1002); count receives the number of entries found.
void EnumerateUsbDevices(ULONG* count);
// Closes the hub handles of the device table and empties it.
void ClearDeviceTable();
// Sends device-table slot index (the device list's position) into update
// mode: 0 = triggered, 1 = failed.
UINT TriggerUpdateMode(int index);

// --- app/ui/download_worker.h: the download worker -------------------------

// The worker's argument, created by the dialog for one update and destroyed
// by the handler of the worker's final message.
struct DownloadJob {
  HWND DialogWindow;        // where the worker posts its messages
  FlashImage Image;         // read, never changed or freed, by the worker
  const char* FailureText;  // empty at creation; set before WM_DOWNLOAD_FAILED
};

// Posted by the worker to DownloadJob::DialogWindow.
constexpr UINT WM_DOWNLOAD_FAILED = WM_APP + 1;    // wParam: the job
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_APP + 2;  // wParam: the job
constexpr UINT WM_DOWNLOAD_RANGE = WM_APP + 3;     // lParam: the progress range
constexpr UINT WM_DOWNLOAD_DONE = WM_APP + 4;      // wParam: the job

// The thread procedure; its parameter is the DownloadJob.
UINT DownloadWorker(LPVOID job);

// --- app/res/resource.h: resource identifiers ------------------------------

#define IDM_ABOUTBOX 0x0010
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_PROGRAMMER_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_PROGRESS_AVI 136
#define IDC_PROGRAM 1000
#define IDC_DEVICE_LIST 1002
#define IDC_FILE_PATH 1003
#define IDC_BROWSE 1004
#define IDC_REFRESH 1005
#define IDC_PROGRESS 1006
#define IDC_STATUS 1008
#define IDC_ANIMATION 1009
