// winsim: the device installation library (setupapi) subset: enumerating
// the present device interfaces of a class, ANSI forms. Requires
// <windows.h>. Structures have the host's natural layout, as Windows'
// setupapi.h packs them to 8 bytes on 64-bit Windows (on 32-bit Windows they
// are packed to 1: SP_DEVICE_INTERFACE_DATA is 28 bytes there and
// SP_DEVICE_INTERFACE_DETAIL_DATA_A 5); the functions check cbSize against
// sizeof on the host.
#pragma once

#include <guiddef.h>
#include <windows.h>

#define WINSETUPAPI

struct HWND__;
typedef struct HWND__* HWND;

typedef PVOID HDEVINFO;
typedef const CHAR* PCSTR;  // as <winnt.h> (and <ntdef.h>) declare it

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

typedef struct _SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;  // a cfgmgr32 DEVINST
  ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
#define DIGCF_INTERFACEDEVICE DIGCF_DEVICEINTERFACE

#ifdef __cplusplus
extern "C" {
#endif

// Only interface sets (DIGCF_DEVICEINTERFACE with a class GUID) are known
// here; other requests fail with ERROR_INVALID_FLAGS. Enumerator and
// hwndParent are ignored.
WINSETUPAPI HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator,
                                                 HWND hwndParent, DWORD Flags);
WINSETUPAPI WINBOOL WINAPI SetupDiEnumDeviceInterfaces(
    HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID* InterfaceClassGuid,
    DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSETUPAPI WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData);
WINSETUPAPI WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

#define SetupDiEnumInterfaceDevice SetupDiEnumDeviceInterfaces
#define SetupDiGetInterfaceDeviceDetailA SetupDiGetDeviceInterfaceDetailA

#ifdef __cplusplus
}
#endif
