// Name answers of hubs and host controllers: a fixed part (ActualLength and,
// for a hub port, the connection index) followed by a UTF-16 name. The walk
// trusts what a hub says about the length and the end of a name only as far
// as these rules allow. No system calls: the rules stand alone.
#pragma once

#include <windows.h>

// Longest answer the walk fetches. Symbolic names and driver keys are far
// shorter; a larger ActualLength is cut to this.
constexpr ULONG MaxNameAnswerLength = 2048;

// Bytes to fetch for a name whose first answer reported actualLength on a
// structure whose fixed part is fixedSize bytes: 0 when the answer carries
// no name (actualLength not above fixedSize), else actualLength capped at
// MaxNameAnswerLength.
ULONG NameAnswerFetchLength(ULONG actualLength, ULONG fixedSize);

// Bytes to allocate for a fetch of fetchLength bytes: the fetch plus room for
// the terminator that TerminateNameAnswer writes.
ULONG NameAnswerBufferSize(ULONG fetchLength);

// Ends the name that starts at nameOffset of a fetched answer with a NUL
// inside the buffer, whatever the hub wrote: after the last whole character
// of the fetchLength bytes. The buffer holds NameAnswerBufferSize(fetchLength)
// bytes and nameOffset is at most fetchLength. Returns the name.
WCHAR* TerminateNameAnswer(BYTE* answer, ULONG fetchLength, ULONG nameOffset);
