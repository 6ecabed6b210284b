// kernel32: device files. CreateFileA, DeviceIoControl and CloseHandle go
// to the kernel's user-mode I/O entry; NTSTATUS results become Win32 errors
// as Windows maps them. Every open, device control and close is recorded in
// the machine's event log.
#include <windows.h>

#include "ground/event_recording.h"
#include "kernel/kernel.h"
#include "kernel32/kernel32_objects.h"
#include "kernel32/status_mapping.h"
#include "kernel32/user_process.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace winsim::kernel32 {
namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\";     // \\.\NAME
constexpr std::string_view kInterfacePrefix = "\\\\?\\";  // \\?\PATH
constexpr std::string_view kObjectPrefix = "\\??\\";      // the object manager's name for both

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

std::string FailWith(NTSTATUS status) {
  SetLastError(RtlNtStatusToDosError(status));
  return std::to_string(GetLastError());
}

}  // namespace

void CloseFileObject(const FileObject& file) {
  const NTSTATUS status = kernel::UserClose(file.File());
  if (EventRecording()) {
    LogUser("close", {{"path", file.Describe()}, {"status", kernel::StatusText(status)}});
  }
}

}  // namespace winsim::kernel32

using namespace winsim;
using namespace winsim::kernel32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                                     HANDLE) {
  if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
      dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string name = lpFileName;
  // A topology walk opens each hub it finds: the event's texts only when kept.
  const bool recording = EventRecording();
  std::vector<std::pair<std::string, std::string>> fields;
  if (recording) {
    fields = {{"path", name}, {"access", Hex(dwDesiredAccess)}, {"share", Hex(dwShareMode)}};
  }
  std::string kernelPath;
  if (name.starts_with(kDevicePrefix)) {
    kernelPath = name;
  } else if (name.starts_with(kInterfacePrefix)) {
    kernelPath = std::string(kObjectPrefix) + name.substr(kInterfacePrefix.size());
  } else {
    SetLastError(ERROR_PATH_NOT_FOUND);
    fields.emplace_back("error", std::to_string(GetLastError()));
    LogUser("CreateFileA fails", std::move(fields));
    return INVALID_HANDLE_VALUE;
  }
  // Device opens have no share check, as on Windows: the share mode is only
  // recorded. The access is not checked either; the only security modelled
  // is a device restricted to Administrators (kernel::RestrictToAdministrators),
  // which refuses a user who is none.
  PFILE_OBJECT file = nullptr;
  const NTSTATUS status = kernel::UserOpen(kernelPath, &file);
  if (recording) fields.emplace_back("status", kernel::StatusText(status));
  if (!NT_SUCCESS(status) || file == nullptr) {
    std::string error = FailWith(NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
    if (recording) {
      fields.emplace_back("error", std::move(error));
      LogUser("CreateFileA fails", std::move(fields));
    }
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = InsertHandle(std::make_shared<FileObject>(file, name),
                                     CurrentCallSite("CreateFileA(" + name + ")"));
  if (recording) {
    fields.emplace_back("handle", HandleText(handle));
    LogUser("CreateFileA", std::move(fields));
  }
  SetLastError(ERROR_SUCCESS);
  return handle;
}

extern "C" WINBOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                          DWORD nInBufferSize, LPVOID lpOutBuffer,
                                          DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                          LPOVERLAPPED lpOverlapped) {
  const auto file = LookupHandleAs<FileObject>(hDevice);
  if (file == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    LogUser("DeviceIoControl fails",
            {{"handle", HandleText(hDevice)}, {"ioctl", Hex(dwIoControlCode)}, {"error", "6"}});
    return FALSE;
  }
  if ((lpInBuffer == nullptr && nInBufferSize > 0) ||
      (lpOutBuffer == nullptr && nOutBufferSize > 0)) {
    // The I/O manager's probe of the caller's buffer faults.
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  ULONG returned = 0;
  const NTSTATUS status =
      kernel::UserDeviceIoControl(file->File(), dwIoControlCode, lpInBuffer, nInBufferSize,
                                  lpOutBuffer, nOutBufferSize, &returned);
  if (lpBytesReturned != nullptr) {
    *lpBytesReturned = returned;
  } else if (lpOverlapped == nullptr && !NT_ERROR(status)) {
    // Windows' kernel32 sends the request and then writes the byte count
    // (on success or a warning) through the null pointer: the caller faults
    // after the device has acted. winsim reports it and fails the call.
    ReportFinding(rule::kInvalidParameter, CallPlace("DeviceIoControl"),
                  "lpBytesReturned is NULL without an OVERLAPPED structure");
    LogUser("DeviceIoControl faults", {{"handle", HandleText(hDevice)},
                                       {"ioctl", Hex(dwIoControlCode)},
                                       {"status", kernel::StatusText(status)}});
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string error = NT_SUCCESS(status) ? std::string() : FailWith(status);
  // A topology walk sends hundreds of these: their texts only when kept.
  if (EventRecording()) {
    std::vector<std::pair<std::string, std::string>> fields = {
        {"handle", HandleText(hDevice)},         {"path", file->Describe()},
        {"ioctl", Hex(dwIoControlCode)},         {"in", std::to_string(nInBufferSize)},
        {"out", std::to_string(nOutBufferSize)}, {"returned", std::to_string(returned)},
        {"status", kernel::StatusText(status)}};
    if (!error.empty()) fields.emplace_back("error", error);
    LogUser(error.empty() ? "DeviceIoControl" : "DeviceIoControl fails", std::move(fields));
  }
  return NT_SUCCESS(status) ? TRUE : FALSE;
}

extern "C" WINBOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == INVALID_HANDLE_VALUE) {
    // The value is also the current process's pseudo handle, which Windows
    // "closes" successfully.
    LogUser("CloseHandle", {{"handle", HandleText(hObject)}, {"what", "pseudo handle"}});
    return TRUE;
  }
  const auto object = RemoveHandle(hObject);
  if (object == nullptr) {
    ReportFinding(rule::kInvalidHandle, CallPlace("CloseHandle"),
                  "CloseHandle of " + HandleText(hObject) + ", which is not open");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (EventRecording()) {
    LogUser("CloseHandle", {{"handle", HandleText(hObject)},
                            {"kind", std::string(object->Kind())},
                            {"what", object->Describe()}});
  }
  if (const auto* file = dynamic_cast<const FileObject*>(object.get())) {
    CloseFileObject(*file);
  }
  return TRUE;
}
