// kernel32: last-error values and the NTSTATUS to Win32 error mapping.
#include <windows.h>

#include <ntstatus.h>

#include "ground/scheduler.h"
#include "kernel32/status_mapping.h"

namespace winsim::kernel32 {
namespace {

// A simulated thread runs on one host thread from start to end, so a
// thread-local value is Windows' per-thread last error once it is reset as
// each simulated thread starts (host threads are pooled).
thread_local DWORD t_lastError = ERROR_SUCCESS;
[[maybe_unused]] const bool kLastErrorResets =
    ResetAtEachThreadStart([] { t_lastError = ERROR_SUCCESS; });

// Statuses that the kernel, the bus and drivers here can complete a request
// with but that <ntstatus.h> does not name yet.
constexpr NTSTATUS kStatusInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);
constexpr NTSTATUS kStatusAccessViolation = static_cast<NTSTATUS>(0xC0000005L);
constexpr NTSTATUS kStatusObjectPathNotFound = static_cast<NTSTATUS>(0xC000003AL);
constexpr NTSTATUS kStatusDevicePowerFailure = static_cast<NTSTATUS>(0xC000009EL);
constexpr NTSTATUS kStatusDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);
constexpr NTSTATUS kStatusIoTimeout = static_cast<NTSTATUS>(0xC00000B5L);
constexpr NTSTATUS kStatusDeviceDoesNotExist = static_cast<NTSTATUS>(0xC00000C0L);
constexpr NTSTATUS kStatusInvalidUserBuffer = static_cast<NTSTATUS>(0xC00000E8L);
constexpr NTSTATUS kStatusDeviceProtocolError = static_cast<NTSTATUS>(0xC0000186L);

// The unwrapping rules of Windows' RtlNtStatusToDosError, before and after
// its table: a code with the customer bit (0x20000000) is passed through as
// it is; a Win32 error wrapped as an HRESULT (0x8007xxxx) or carried in an
// NTSTATUS of FACILITY_NTWIN32 (0xC007xxxx) is its low word; an HRESULT made
// from an NTSTATUS (0xDxxxxxxx) is looked up as that NTSTATUS (0xCxxxxxxx).
constexpr ULONG kCustomerBit = 0x20000000u;
constexpr ULONG kFacilityMask = 0xFFFF0000u;
constexpr ULONG kWin32Hresults = 0x80070000u;
constexpr ULONG kNtWin32Errors = 0xC0070000u;
constexpr ULONG kSeverityNibble = 0xF0000000u;
constexpr ULONG kHresultFromNtStatus = 0xD0000000u;
constexpr ULONG kNtStatusFlag = 0x10000000u;

struct StatusMapping {
  NTSTATUS status;
  ULONG error;
};

// Windows NT's table for the statuses that occur here. Several statuses
// share an error; notable ones: a device data error reads as a CRC error,
// a pending delete as access denied, an invalid device state as a bad
// command; a removed device has its own error (1617).
constexpr StatusMapping kMappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {kStatusInfoLengthMismatch, ERROR_BAD_LENGTH},
    {kStatusAccessViolation, ERROR_NOACCESS},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_MORE_PROCESSING_REQUIRED, ERROR_MORE_DATA},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {kStatusObjectPathNotFound, ERROR_PATH_NOT_FOUND},
    {STATUS_CRC_ERROR, ERROR_CRC},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {kStatusDevicePowerFailure, ERROR_NOT_READY},
    {STATUS_DEVICE_POWERED_OFF, ERROR_NOT_READY},
    {kStatusDeviceNotReady, ERROR_NOT_READY},
    {kStatusIoTimeout, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {kStatusDeviceDoesNotExist, ERROR_DEV_NOT_EXIST},
    {kStatusInvalidUserBuffer, ERROR_INVALID_USER_BUFFER},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_DEVICE_CONFIGURATION_ERROR, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {kStatusDeviceProtocolError, ERROR_IO_DEVICE},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
};

}  // namespace

ULONG RtlNtStatusToDosError(NTSTATUS status) {
  ULONG code = static_cast<ULONG>(status);
  if (code & kCustomerBit) return code;
  if ((code & kFacilityMask) == kWin32Hresults) return code & ~kFacilityMask;
  if ((code & kSeverityNibble) == kHresultFromNtStatus) code &= ~kNtStatusFlag;
  for (const StatusMapping& mapping : kMappings) {
    if (static_cast<ULONG>(mapping.status) == code) {
      return mapping.error;
    }
  }
  if ((code & kFacilityMask) == kNtWin32Errors) return code & ~kFacilityMask;
  return ERROR_MR_MID_NOT_FOUND;
}

}  // namespace winsim::kernel32

extern "C" DWORD WINAPI GetLastError(VOID) { return winsim::kernel32::t_lastError; }

extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) { winsim::kernel32::t_lastError = dwErrCode; }
