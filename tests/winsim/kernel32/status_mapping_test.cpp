// The NTSTATUS to Win32 error mapping, status by status.
#include <gtest/gtest.h>

#include <windows.h>

#include <ntstatus.h>

#include <thread>

#include "kernel32/status_mapping.h"

namespace {

struct Mapping {
  ULONG status;  // written as a number: the table must not lean on our header
  DWORD error;
};

const Mapping kMappings[] = {
    {0x00000000, 0},     // STATUS_SUCCESS
    {0x00000102, 1460},  // STATUS_TIMEOUT: ERROR_TIMEOUT
    {0x00000103, 997},   // STATUS_PENDING: ERROR_IO_PENDING
    {0x80000005, 234},   // STATUS_BUFFER_OVERFLOW: ERROR_MORE_DATA
    {0x8000000F, 21},    // STATUS_DEVICE_POWERED_OFF: ERROR_NOT_READY
    {0x80000011, 170},   // STATUS_DEVICE_BUSY: ERROR_BUSY
    {0xC0000001, 31},    // STATUS_UNSUCCESSFUL: ERROR_GEN_FAILURE
    {0xC0000002, 1},     // STATUS_NOT_IMPLEMENTED: ERROR_INVALID_FUNCTION
    {0xC0000008, 6},     // STATUS_INVALID_HANDLE
    {0xC000000D, 87},    // STATUS_INVALID_PARAMETER
    {0xC000000E, 2},     // STATUS_NO_SUCH_DEVICE: ERROR_FILE_NOT_FOUND on NT and XP
    {0xC0000010, 1},     // STATUS_INVALID_DEVICE_REQUEST: ERROR_INVALID_FUNCTION
    {0xC0000017, 8},     // STATUS_NO_MEMORY: ERROR_NOT_ENOUGH_MEMORY
    {0xC0000022, 5},     // STATUS_ACCESS_DENIED
    {0xC0000023, 122},   // STATUS_BUFFER_TOO_SMALL: ERROR_INSUFFICIENT_BUFFER
    {0xC0000033, 123},   // STATUS_OBJECT_NAME_INVALID: ERROR_INVALID_NAME
    {0xC0000034, 2},     // STATUS_OBJECT_NAME_NOT_FOUND: ERROR_FILE_NOT_FOUND
    {0xC000003A, 3},     // STATUS_OBJECT_PATH_NOT_FOUND: ERROR_PATH_NOT_FOUND
    {0xC000003F, 23},    // STATUS_CRC_ERROR: ERROR_CRC
    {0xC0000043, 32},    // STATUS_SHARING_VIOLATION
    {0xC0000056, 5},     // STATUS_DELETE_PENDING: ERROR_ACCESS_DENIED
    {0xC000009A, 1450},  // STATUS_INSUFFICIENT_RESOURCES: ERROR_NO_SYSTEM_RESOURCES
    {0xC000009C, 23},    // STATUS_DEVICE_DATA_ERROR: ERROR_CRC
    {0xC000009D, 1167},  // STATUS_DEVICE_NOT_CONNECTED
    {0xC00000A3, 21},    // STATUS_DEVICE_NOT_READY: ERROR_NOT_READY
    {0xC00000B5, 121},   // STATUS_IO_TIMEOUT: ERROR_SEM_TIMEOUT
    {0xC00000BB, 50},    // STATUS_NOT_SUPPORTED
    {0xC00000C0, 55},    // STATUS_DEVICE_DOES_NOT_EXIST: ERROR_DEV_NOT_EXIST
    {0xC0000120, 995},   // STATUS_CANCELLED: ERROR_OPERATION_ABORTED
    {0xC0000182, 87},    // STATUS_DEVICE_CONFIGURATION_ERROR: ERROR_INVALID_PARAMETER
    {0xC0000184, 22},    // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
    {0xC0000185, 1117},  // STATUS_IO_DEVICE_ERROR: ERROR_IO_DEVICE
    {0xC0000206, 1784},  // STATUS_INVALID_BUFFER_SIZE: ERROR_INVALID_USER_BUFFER
    {0xC00002B6, 1617},  // STATUS_DEVICE_REMOVED: ERROR_DEVICE_REMOVED
    {0xC0070005, 5},     // an error carried in FACILITY_NTWIN32
    {0xC0DE0001, 317},   // unknown: ERROR_MR_MID_NOT_FOUND
};

// RtlNtStatusToDosError's rules around its table.
const Mapping kUnwrapped[] = {
    {0x80070005, 5},           // HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)
    {0x8007001F, 31},          // HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)
    {0xC007001F, 31},          // FACILITY_NTWIN32, error severity
    {0xD0000001, 31},          // HRESULT_FROM_NT(STATUS_UNSUCCESSFUL)
    {0xD000009C, 23},          // HRESULT_FROM_NT(STATUS_DEVICE_DATA_ERROR)
    {0xE0000001, 0xE0000001},  // customer-defined: passed through unchanged
    {0xE0070005, 0xE0070005},  // customer-defined, even with facility 7
    {0x20000042, 0x20000042},  // customer-defined success code
    {0xA0000001, 0xA0000001},  // customer-defined warning
};

TEST(StatusMapping, WrappedAndCustomerCodesFollowTheDocumentedRules) {
  for (const Mapping& mapping : kUnwrapped) {
    EXPECT_EQ(winsim::kernel32::RtlNtStatusToDosError(static_cast<NTSTATUS>(mapping.status)),
              mapping.error)
        << "status 0x" << std::hex << mapping.status;
  }
}

TEST(StatusMapping, EachStatusBecomesTheErrorWindowsReports) {
  for (const Mapping& mapping : kMappings) {
    EXPECT_EQ(winsim::kernel32::RtlNtStatusToDosError(static_cast<NTSTATUS>(mapping.status)),
              mapping.error)
        << "status 0x" << std::hex << mapping.status;
  }
}

TEST(LastError, EachThreadHasItsOwn) {
  SetLastError(ERROR_CRC);
  DWORD seenByOtherThread = 0xFFFFFFFF;
  std::thread other([&] {
    seenByOtherThread = GetLastError();
    SetLastError(ERROR_GEN_FAILURE);
  });
  other.join();
  EXPECT_EQ(seenByOtherThread, DWORD{ERROR_SUCCESS});
  EXPECT_EQ(GetLastError(), DWORD{ERROR_CRC});
}

}  // namespace
