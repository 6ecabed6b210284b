// winsim: the configuration manager (cfgmgr32) subset: walking the device
// tree and reading device properties, ANSI forms. Requires <windows.h>.
#pragma once

#include <windef.h>

#define CMAPI

typedef DWORD RETURN_TYPE;
typedef RETURN_TYPE CONFIGRET;
typedef DWORD DEVNODE, DEVINST;
typedef DEVNODE *PDEVNODE, *PDEVINST;
typedef CHAR *DEVNODEID_A, *DEVINSTID_A;

#define CR_SUCCESS (0x00000000)
#define CR_DEFAULT (0x00000001)
#define CR_OUT_OF_MEMORY (0x00000002)
#define CR_INVALID_POINTER (0x00000003)
#define CR_INVALID_FLAG (0x00000004)
#define CR_INVALID_DEVNODE (0x00000005)
#define CR_INVALID_DEVINST CR_INVALID_DEVNODE
#define CR_NO_SUCH_DEVNODE (0x0000000D)
#define CR_NO_SUCH_DEVINST CR_NO_SUCH_DEVNODE
#define CR_FAILURE (0x00000013)
#define CR_REMOVE_VETOED (0x00000017)
#define CR_BUFFER_SMALL (0x0000001A)
#define CR_INVALID_DEVICE_ID (0x0000001E)
#define CR_INVALID_DATA (0x0000001F)
#define CR_NO_SUCH_VALUE (0x00000025)
#define CR_INVALID_PROPERTY (0x00000035)

// Device registry properties (CM_Get_DevNode_Registry_Property).
#define CM_DRP_DEVICEDESC (0x00000001)
#define CM_DRP_HARDWAREID (0x00000002)
#define CM_DRP_DRIVER (0x0000000A)
#define CM_DRP_MIN (0x00000001)
#define CM_DRP_MAX (0x00000023)

#define CM_LOCATE_DEVNODE_NORMAL 0x00000000
#define CM_LOCATE_DEVNODE_PHANTOM 0x00000001
#define CM_LOCATE_DEVNODE_CANCELREMOVE 0x00000002
#define CM_LOCATE_DEVNODE_NOVALIDATION 0x00000004
#define CM_LOCATE_DEVNODE_BITS 0x00000007
#define CM_LOCATE_DEVINST_NORMAL CM_LOCATE_DEVNODE_NORMAL
#define CM_LOCATE_DEVINST_PHANTOM CM_LOCATE_DEVNODE_PHANTOM

// Registry value types reported through pulRegDataType.
#ifndef REG_SZ
#define REG_SZ 1
#define REG_MULTI_SZ 7
#endif

#ifdef __cplusplus
extern "C" {
#endif

// pDeviceID null or empty: the root of the tree. Without
// CM_LOCATE_DEVNODE_PHANTOM a device that is not present is not found.
CMAPI CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID,
                                          ULONG ulFlags);
#define CM_Locate_DevInstA CM_Locate_DevNodeA
CMAPI CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags);
CMAPI CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
// CM_DRP_DEVICEDESC and CM_DRP_DRIVER (REG_SZ), CM_DRP_HARDWAREID
// (REG_MULTI_SZ). *pulLength is the buffer's size in bytes on entry; the
// value's size (terminator included) on return, also with CR_BUFFER_SMALL.
CMAPI CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                         PULONG pulRegDataType, PVOID Buffer,
                                                         PULONG pulLength, ULONG ulFlags);
#define CM_Get_DevInst_Registry_PropertyA CM_Get_DevNode_Registry_PropertyA

#ifdef __cplusplus
}
#endif
