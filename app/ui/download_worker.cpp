#include <string.h>

#include <windows.h>
#include <winioctl.h>

#include "download_format.h"
#include "download_worker.h"
#include "quillfw_public.h"

namespace {

constexpr unsigned TransferPayloadOffset = FIELD_OFFSET(TransferRequest, Data);

template <size_t N>
constexpr bool FitsFailureText(const char (&)[N]) {
  return N <= DownloadFailureTextSize;
}
static_assert(FitsFailureText(FailureDeviceNotFound) && FitsFailureText(FailureHeaderNotSent) &&
              FitsFailureText(FailureBlockNotSent) && FitsFailureText(FailureLengthExceeded) &&
              FitsFailureText(FailureLengthMismatch) && FitsFailureText(FailureAccessDenied));

void StoreCount(BYTE* request, UINT32 count) {
  request[0] = static_cast<BYTE>(count);
  request[1] = static_cast<BYTE>(count >> 8);
  request[2] = static_cast<BYTE>(count >> 16);
  request[3] = static_cast<BYTE>(count >> 24);
}

// Tries to open the driver's device once a second. The dialog is brought to
// the front after every attempt, because the driver's installation may have
// put other windows over it. A device that is there but refuses the user
// (only Administrators may open it) ends the waiting at once: *AccessDenied.
HANDLE OpenDownloadDevice(HWND dialog, bool* AccessDenied) {
  *AccessDenied = false;
  for (UINT attempt = 0; attempt < DeviceOpenAttempts; ++attempt) {
    const HANDLE device = CreateFileA(DownloadDeviceName, GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                      OPEN_EXISTING, 0, NULL);
    const DWORD error = device == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    SetForegroundWindow(dialog);
    if (error == ERROR_ACCESS_DENIED) {
      *AccessDenied = true;
      return INVALID_HANDLE_VALUE;
    }
    SleepEx(DeviceOpenInterval, TRUE);
    if (device != INVALID_HANDLE_VALUE) {
      return device;
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool SendRequest(HANDLE device, BYTE* request, DWORD size) {
  DWORD returned = 0;
  return DeviceIoControl(device, IOCTL_FIRMWARE_WRITE, request, size, NULL, 0, &returned, NULL) !=
         FALSE;
}

// Sends the header command and every block; null when all went out and the
// bytes sent add up to the length, else the failure text.
const char* SendFirmware(HANDLE device, const DownloadJob* job, UINT32 length) {
  BYTE header[HeaderRequestSize] = {};
  BYTE command[HeaderCommandSize];
  BuildHeaderCommand(length, command);
  StoreCount(header, HeaderCommandSize);
  memcpy(header + TransferPayloadOffset, command, HeaderCommandSize);
  if (!SendRequest(device, header, sizeof(header))) {
    return FailureHeaderNotSent;
  }

  BYTE request[BlockRequestSize];
  UINT32 sent = 0;
  for (const FlashBlock* block = job->Image; block != NULL;) {
    if (block->FillCount > FlashBlockSize) {
      return FailureBlockNotSent;  // no request can carry it
    }
    memset(request, 0, sizeof(request));
    StoreCount(request, block->FillCount);
    memcpy(request + TransferPayloadOffset, block->Data, block->FillCount);
    sent += block->FillCount;
    if (!SendRequest(device, request, sizeof(request))) {
      return FailureBlockNotSent;
    }
    PostMessageA(job->DialogWindow, WM_DOWNLOAD_PROGRESS, reinterpret_cast<WPARAM>(job), 0);
    block = block->Next;
    if (sent > length) {
      return FailureLengthExceeded;
    }
  }
  return sent == length ? NULL : FailureLengthMismatch;
}

void PostFinal(DownloadJob* job, const char* failure) {
  if (failure == NULL) {
    PostMessageA(job->DialogWindow, WM_DOWNLOAD_DONE, reinterpret_cast<WPARAM>(job), 0);
    return;
  }
  size_t i = 0;
  for (; i + 1 < DownloadFailureTextSize && failure[i] != '\0'; ++i) {
    job->FailureText[i] = failure[i];
  }
  job->FailureText[i] = '\0';
  PostMessageA(job->DialogWindow, WM_DOWNLOAD_FAILED, reinterpret_cast<WPARAM>(job), 0);
}

}  // namespace

UINT DownloadWorker(LPVOID argument) {
  DownloadJob* job = static_cast<DownloadJob*>(argument);
  bool accessDenied = false;
  const HANDLE device = OpenDownloadDevice(job->DialogWindow, &accessDenied);
  if (device == INVALID_HANDLE_VALUE) {
    PostFinal(job, accessDenied ? FailureAccessDenied : FailureDeviceNotFound);
    return 0;
  }
  const UINT32 length = FlashImageLength(job->Image);
  PostMessageA(job->DialogWindow, WM_DOWNLOAD_RANGE, 0,
               static_cast<LPARAM>(DownloadProgressRange(length)));
  const char* failure = SendFirmware(device, job, length);
  CloseHandle(device);
  PostFinal(job, failure);
  return 0;
}
