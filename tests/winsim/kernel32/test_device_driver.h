// A small device driver for kernel32's tests: "\Device\K32TEST", reached
// from user mode as "\\.\K32TEST".
#pragma once

#include <wdm.h>

namespace k32test {

// Copies the input to the output; Information is the smaller length.
inline constexpr ULONG kIoctlEcho =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Completes with the NTSTATUS in the first four input bytes and Information
// set to the output length (so a warning status carries data back); output
// bytes beyond the input are zeroed.
inline constexpr ULONG kIoctlComplete =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
// A faulty driver: succeeds with Information = the output length but writes
// nothing.
inline constexpr ULONG kIoctlClaimUnwritten =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Counters {
  LONG creates;
  LONG closes;
  LONG controls;
};
extern Counters g_counters;

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace k32test
