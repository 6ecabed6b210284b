// winsim: the access and sharing constants of <winnt.h> that user mode uses.
// The DDK declares the same names for drivers; each group is guarded so that
// <windows.h> and <wdm.h> can meet in one translation unit.
#pragma once

#include <windef.h>

#include <stddef.h>

// The byte offset of a structure's field (also in <ntdef.h>).
#ifndef FIELD_OFFSET
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#endif

#ifndef GENERIC_READ
#define GENERIC_READ (0x80000000u)
#define GENERIC_WRITE (0x40000000u)
#define GENERIC_EXECUTE (0x20000000u)
#define GENERIC_ALL (0x10000000u)
#endif

#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#endif

#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#endif
