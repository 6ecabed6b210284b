// winsim: NT base types shared by the kernel-mode headers. Builds on
// <windef.h> (the base types that user mode shares), so <wdm.h> and
// <windows.h> can be included in one translation unit.
#pragma once

#include <windef.h>

#ifndef IN
#define IN
#define OUT
#define OPTIONAL
#endif

#define NTAPI
#define NTKERNELAPI
#define NTHALAPI
#define NTSYSAPI
#define FASTCALL
#define __cdecl
#define DECLSPEC_IMPORT

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

#ifndef UNICODE_NULL
#define UNICODE_NULL ((WCHAR)0)
#endif

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
static_assert(sizeof(NTSTATUS) == 4, "NTSTATUS is a 32-bit LONG");

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

typedef short CSHORT;
typedef char CCHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef CHAR* PSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef SHORT* PSHORT;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCH;
typedef const WCHAR* PCWCH;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR KAFFINITY;
typedef LONG KPRIORITY;

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// Counted UTF-16 string; Length and MaximumLength are in bytes, and Buffer
// need not be NUL-terminated.
typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
  USHORT Length;
  USHORT MaximumLength;
  PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;

#ifndef FIELD_OFFSET
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#endif
#ifndef CONTAINING_RECORD
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#endif
