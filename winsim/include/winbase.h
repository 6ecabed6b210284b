// winsim: kernel32 declarations.
//
// Handles name file objects (devices), threads and events of the simulated
// machine; each simulated thread has its own last-error value. Functions that
// block (waits, sleeps, device controls) must run on a simulated thread.
#pragma once

#include <windef.h>
#include <winnt.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------- types

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  WINBOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// ---------------------------------------------------------------- constants

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_FLAG_OVERLAPPED 0x40000000

#define INFINITE 0xffffffff
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_IO_COMPLETION 0x000000C0L
#define WAIT_FAILED ((DWORD)0xffffffff)
#define STILL_ACTIVE 0x00000103L

#define CREATE_SUSPENDED 0x4

#define GMEM_FIXED 0x0
#define GMEM_MOVEABLE 0x2
#define GMEM_ZEROINIT 0x40
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

// ---------------------------------------------------------------- errors

// The calling simulated thread's last-error value.
DWORD WINAPI GetLastError(VOID);
VOID WINAPI SetLastError(DWORD dwErrCode);

// ---------------------------------------------------------------- files and devices

// Opens a device: "\\.\NAME" (through \DosDevices) or a device-interface
// path "\\?\...". There is no share check on device opens, as on Windows;
// winsim has no disk files, so any other name fails with
// ERROR_PATH_NOT_FOUND. A failed open returns INVALID_HANDLE_VALUE and sets
// the Windows error of the open's status.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Always synchronous: it returns when the request has completed; an
// OVERLAPPED structure is not used.
WINBOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                               DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                               LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
WINBOOL WINAPI CloseHandle(HANDLE hObject);

// ---------------------------------------------------------------- threads and waits

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
__attribute__((noreturn)) VOID WINAPI ExitThread(DWORD dwExitCode);
DWORD WINAPI ResumeThread(HANDLE hThread);
WINBOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD WINAPI GetCurrentThreadId(VOID);
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, WINBOOL bManualReset,
                           WINBOOL bInitialState, LPCSTR lpName);
WINBOOL WINAPI SetEvent(HANDLE hEvent);
WINBOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Sleeps on the machine's clock. winsim queues no APCs, so an alertable
// sleep always lasts its full time and returns 0.
DWORD WINAPI SleepEx(DWORD dwMilliseconds, WINBOOL bAlertable);
VOID WINAPI Sleep(DWORD dwMilliseconds);

// ---------------------------------------------------------------- memory

// Fixed blocks only: GMEM_MOVEABLE fails with ERROR_INVALID_PARAMETER.
// Without GMEM_ZEROINIT a block is filled with 0xBA, so that reading it
// before writing shows.
HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);

// ---------------------------------------------------------------- modules

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// ---------------------------------------------------------------- system

// Copies the machine's Windows directory; returns its length, or the size
// needed (NUL included) when the buffer is too small, as Windows does.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);

// ---------------------------------------------------------------- profiles

WINBOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                          LPCSTR lpFileName);

#ifdef __cplusplus
}
#endif
