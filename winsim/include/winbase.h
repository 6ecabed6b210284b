// winsim: kernel32 declarations.
#pragma once

#include <windef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Copies the machine's Windows directory; returns its length, or the size
// needed (NUL included) when the buffer is too small, as Windows does.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);

#ifdef __cplusplus
}
#endif
