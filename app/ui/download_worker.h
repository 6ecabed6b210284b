// The firmware download worker: waits for the driver's device to appear,
// then sends the header command and the image block by block through the
// driver's write control code, reporting to the dialog by posted messages.
//
// One worker per update, started by the dialog with AfxBeginThread after the
// trigger. It reads the image and never changes or frees it; the dialog
// keeps the image untouched while its busy flag is set. The dialog's handler
// of the final message destroys the job.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include "quillfw_public.h"

#include "flash_image.h"

// Posted to the dialog window, never sent.
constexpr UINT WM_DOWNLOAD_FAILED = WM_APP + 1;    // wParam the job; final, with its failure text
constexpr UINT WM_DOWNLOAD_PROGRESS = WM_APP + 2;  // wParam the job; after each block sent
constexpr UINT WM_DOWNLOAD_RANGE = WM_APP + 3;  // lParam the progress range; once, after the open
constexpr UINT WM_DOWNLOAD_DONE = WM_APP + 4;   // wParam the job; final, every byte sent
static_assert(WM_DOWNLOAD_FAILED == 0x8001 && WM_DOWNLOAD_DONE == 0x8004);

// The driver's device as user mode opens it.
constexpr char DownloadDeviceName[] = QUILLFW_USER_PATH;
// Opens tried, one a second, before the worker gives up: room for a first
// installation of the driver.
constexpr UINT DeviceOpenAttempts = 120;
constexpr DWORD DeviceOpenInterval = 1000;  // milliseconds

constexpr char FailureDeviceNotFound[] = "ERROR: Device not found in update mode!";
constexpr char FailureHeaderNotSent[] = "ERROR: Cannot send firmware to device!";
constexpr char FailureBlockNotSent[] = "Error Downloading Firmware!";
constexpr char FailureLengthExceeded[] = "Total Length of Firmware Exceeded!";
constexpr char FailureLengthMismatch[] = "Incorrect Firmware Length!";
// The device is there, but only Administrators may open it (quillfw.inf).
constexpr char FailureAccessDenied[] = "ERROR: Administrator rights are needed to program!";

constexpr unsigned DownloadFailureTextSize = 64;

struct DownloadJob {
  HWND DialogWindow;                          // receives the worker's messages
  FlashImage Image;                           // read only
  char FailureText[DownloadFailureTextSize];  // empty until WM_DOWNLOAD_FAILED
};

// The thread procedure; its argument is the DownloadJob. Posts exactly one
// final message, WM_DOWNLOAD_FAILED or WM_DOWNLOAD_DONE, after closing the
// device, and returns 0.
UINT DownloadWorker(LPVOID job);
