// winsim: the NTSTATUS to Win32 error mapping that Windows applies when a
// user-mode call fails (RtlNtStatusToDosError).
#pragma once

#include <ntdef.h>

namespace winsim::kernel32 {

// The Win32 error for status, as Windows NT up to XP maps it;
// ERROR_MR_MID_NOT_FOUND for a status without a mapping.
ULONG RtlNtStatusToDosError(NTSTATUS status);

}  // namespace winsim::kernel32
