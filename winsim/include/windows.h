// winsim: the subset of <windows.h> that the product uses, with Windows'
// type sizes on the 64-bit Linux host (LONG and ULONG are 32 bits, WCHAR is
// 16 bits: the host build uses -fshort-wchar).
#pragma once

#include <windef.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <winnls.h>
#include <wingdi.h>
#include <winuser.h>
#include <commdlg.h>
