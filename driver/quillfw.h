// quillfw: private declarations of the firmware transfer driver.
//
// The driver is a WDM function driver for the Q417 in its firmware-update mode.
// driverentry.cpp holds the frame (entry, unload, AddDevice, removal, request
// completion, pass-down, device control dispatch, Plug and Play, power and the
// synchronous forward); readwrite.cpp holds create and close, the USB
// configuration, URB submission and the data path.

#pragma once

#include <wdm.h>
#include <usbdi.h>
// The library's header declares its routines without C linkage of its own.
extern "C" {
#include <usbdlib.h>
}

// The control codes, TransferRequest and the names: shared with callers.
#include "quillfw_public.h"

// ---------------------------------------------------------------------------
// Code placement. DriverEntry runs once and is discarded afterwards (INIT);
// routines that only ever run at PASSIVE_LEVEL may be paged out (PAGE); all
// others stay resident in .text. Both names are valid sections in PE and ELF
// images alike, so the same attribute serves every target.
#define FW_INIT_CODE __attribute__((section("INIT")))
#define FW_PAGEABLE_CODE __attribute__((section("PAGE")))

// ---------------------------------------------------------------------------
// Diagnostics. Each source file defines FwSourceName ("driverentry" or
// "readwrite"); the messages carry it with the line of the check.

// Assertion: message, then a break into the debugger.
#define FW_ASSERT(expression)                                                                  \
  do {                                                                                         \
    if (!(expression)) {                                                                       \
      DbgPrint("Assertion failure in %s, line %d: %s\n", FwSourceName, __LINE__, #expression); \
      DbgBreakPoint();                                                                         \
    }                                                                                          \
  } while (0)

// Pageable-code check: the first statement of every routine that may only run
// at PASSIVE_LEVEL or APC_LEVEL.
#define FW_PAGED_CODE()                                               \
  do {                                                                \
    KIRQL currentIrql = KeGetCurrentIrql();                           \
    if (currentIrql > APC_LEVEL) {                                    \
      DbgPrint("EX: Pageable code called at IRQL %d\n", currentIrql); \
      FW_ASSERT(FALSE);                                               \
    }                                                                 \
  } while (0)

// Addresses in trace lines are printed as 32-bit numbers (%8.8lX, 0x%x).
inline ULONG FwTraceAddress(const void* Address) { return (ULONG)(ULONG_PTR)Address; }

// ---------------------------------------------------------------------------
// Tags and sizes.

constexpr ULONG FwTag(char First, char Second, char Third, char Fourth) {
  return (ULONG)(UCHAR)First | ((ULONG)(UCHAR)Second << 8) | ((ULONG)(UCHAR)Third << 16) |
         ((ULONG)(UCHAR)Fourth << 24);
}
// Every pool allocation of the driver.
constexpr ULONG FW_POOL_TAG = FwTag('W', 'd', 'm', ' ');
// The remove lock's own tracking blocks.
constexpr ULONG FW_REMOVE_LOCK_TAG = FwTag('Q', '4', '1', '7');

// Largest piece of a transfer, and the maximum transfer size set on the pipes.
constexpr ULONG FW_PIECE_SIZE = 0x1000;
// Room for one string descriptor reply.
constexpr ULONG FW_STRING_REPLY_SIZE = 256;

// ---------------------------------------------------------------------------
// The per-device record, the device object's extension. The platform hands
// it over zero-filled, and the driver relies on that.
typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT DeviceObject;       // own device object
  PDEVICE_OBJECT LowerDeviceObject;  // target of everything sent down; null
                                     // before attaching and after removal
  PDEVICE_OBJECT Pdo;                // physical device object (kept only)
  IO_REMOVE_LOCK RemoveLock;         // tag "Q417"
  UNICODE_STRING DeviceName;         // copy of QUILLFW_DEVICE_NAME
  LONG OpenHandles;                  // successful opens not yet closed
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;  // from a good start to a stop
  USHORT LanguageId;                               // of string descriptors; 0 = not read
  USBD_PIPE_HANDLE OutPipe;                        // host to device
  USBD_PIPE_HANDLE InPipe;                         // device to host
  LONG OutErrors;                                  // failed OUT transfers not yet answered
  LONG InErrors;                                   // by a pipe reset; likewise IN
  DEVICE_POWER_STATE DevicePower;                  // last device state passed down
  UNICODE_STRING LinkName;                         // QUILLFW_LINK_NAME (constant text)
  PUCHAR RequestData;                              // payload of the request in progress
  PMDL RequestMdl;                                 // MDL over RequestData
  ULONG RequestLength;                             // payload byte count of that request
  // Held by the control request being served: requests run one at a time
  // (a synchronization event, signalled while no request is served).
  KEVENT TransferLock;
  // Signalled while the device may be sent transfers: in D0, or once removal
  // has begun (the waiters then end with STATUS_DELETE_PENDING). Cleared when
  // a device set-power request to a lower state goes down: the hub fails
  // every URB to a suspended port, so transfer requests wait for D0 instead.
  // A notification event.
  KEVENT PowerOn;
  // Signalled while no transfer is being sent (a notification event): a
  // device request to a lower state waits on it, so that the pieces of the
  // transfer under way all go out before the port is suspended.
  KEVENT TransferIdle;
  // Set once, when removal begins (surprise removal or the removal request).
  // From then on nothing more is sent down but Plug and Play and power.
  LONG RemovalStarted;
  // Set once, when IRP_MN_REMOVE_DEVICE detaches and deletes the device.
  LONG DeviceRemoved;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION FwExtension(PDEVICE_OBJECT DeviceObject) {
  return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// TRUE once RemoveDevice has begun. Read at any IRQL.
inline BOOLEAN FwRemovalStarted(PDEVICE_EXTENSION Extension) {
  return *(volatile LONG*)&Extension->RemovalStarted != 0;
}

// One transfer: allocated by FWWriteFWToDevice (non-paged, zero-filled),
// carried by OnWriteComplete from piece to piece, released after the wait.
typedef struct TransferContext {
  URB Urb;             // first: the record's address is the URB's
  PUCHAR NextAddress;  // start of the next piece not yet sent
  ULONG Remaining;     // payload bytes not yet sent
  PMDL PartialMdl;     // the piece in flight, built over SourceMdl
  PMDL SourceMdl;      // the whole payload (RequestMdl)
  ULONG Transferred;   // bytes moved so far, as the bus driver reports
  KEVENT Done;         // notification event, signalled when it ends
  PDEVICE_EXTENSION Extension;
  PDEVICE_OBJECT LowerDevice;  // where the transfer started; every piece goes there
} TransferContext;
static_assert(FIELD_OFFSET(TransferContext, Urb) == 0, "the URB opens the transfer context");

// ---------------------------------------------------------------------------
// 32-bit layouts that cross to the USB bus driver, pinned on the 32-bit target.
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72,
              "bulk-or-interrupt transfer URB is 72 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80,
              "control descriptor URB is 80 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_SELECT_CONFIGURATION) == 60,
              "select-configuration URB is 60 bytes on 32-bit Windows");
static_assert(sizeof(void*) != 4 || sizeof(struct _URB_PIPE_REQUEST) == 24,
              "pipe-request URB is 24 bytes on 32-bit Windows");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB device descriptor is 18 bytes");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB configuration descriptor is 9 bytes");

// ---------------------------------------------------------------------------
// Driver-wide state, written only by DriverEntry.
extern UNICODE_STRING ServiceKeyName;  // copy of the registry path (paged pool)
extern BOOLEAN Win98;                  // WDM 1.10 not available

// ---------------------------------------------------------------------------
// driverentry.cpp

// Called by the I/O manager once, at PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
BOOLEAN IsWin98();
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
// Tears the device object down; called by DispatchPnp for removal and
// surprise removal, at PASSIVE_LEVEL. Safe to reach twice.
VOID StopUsingDevice(PDEVICE_OBJECT DeviceObject);
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);
// Completes Irp with Status and Information; returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG Information);
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Sends Irp to DeviceObject and waits for it; the caller completes Irp.
// Urb is only traced.
NTSTATUS FWLoaderSubmitIrpSynch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb);
NTSTATUS NTAPI FWLoaderSynchCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Signals PowerOn once a device set-power request has left the device in D0
// (or failed, leaving it where it was).
NTSTATUS NTAPI FWDevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Finishes the system set-power request (Context) once the device request
// that it caused has ended.
VOID NTAPI FWLoaderPowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context,
                                          PIO_STATUS_BLOCK IoStatus);

// ---------------------------------------------------------------------------
// readwrite.cpp

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Start: reads the descriptors, selects the first configuration with its first
// interface and picks the pipes. PASSIVE_LEVEL.
NTSTATUS FWConfigureDevice(PDEVICE_OBJECT DeviceObject);
// Stop (Send TRUE: deconfigure the device first) and removal (Send FALSE):
// releases the configuration descriptor. PASSIVE_LEVEL.
VOID FWDeconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Send);
// Sends one URB to the lower device and waits; returns the IRP's status.
// PASSIVE_LEVEL.
NTSTATUS FWSubmitUrbSynch(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS FWResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe);
// On success String->Buffer is paged pool that the caller releases with
// RtlFreeUnicodeString.
NTSTATUS FWGetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index, PUNICODE_STRING String);
// One transfer of RequestLength bytes at RequestData (In: from the IN pipe,
// else to the OUT pipe). Sets Irp->IoStatus.Information; the caller completes
// Irp. PASSIVE_LEVEL, with the extension's TransferLock held.
NTSTATUS FWWriteFWToDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In);
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
