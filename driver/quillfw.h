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

// Assertion: message, then a break into the debugger, but only where one is
// enabled (FwKernelDebuggerEnabled): without a kernel debugger a breakpoint in
// kernel mode is a bug check. Assertions guard the driver's own invariants,
// never what a device reports.
#define FW_ASSERT(expression)                                                                  \
  do {                                                                                         \
    if (!(expression)) {                                                                       \
      DbgPrint("Assertion failure in %s, line %d: %s\n", FwSourceName, __LINE__, #expression); \
      if (FwKernelDebuggerEnabled()) {                                                         \
        DbgBreakPoint();                                                                       \
      }                                                                                        \
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
// The device's state: one LONG, read and changed only with interlocked
// operations. Bits 0-7 hold the Plug and Play state, bits 8-15 the power
// state. Only DispatchPnp and DispatchPower change it, at PASSIVE_LEVEL and
// one at a time (StateLock); the data path reads it (docs/driver.md, "States").
enum FW_PNP_STATE {
  FwNotStarted = 0,       // added, or a start failed: no configuration
  FwStarted = 1,          // configured; requests go (power permitting)
  FwStopPending = 2,      // a stop was queried: requests are held
  FwStopped = 3,          // deconfigured: requests fail
  FwRemovePending = 4,    // a removal was queried: requests are held
  FwSurpriseRemoved = 5,  // the device has left: requests fail
  FwRemoved = 6,          // IRP_MN_REMOVE_DEVICE: requests fail
};
enum FW_POWER_STATE {
  FwPowered = 0,     // D0: requests go
  FwPowerHeld = 1,   // going to or in D1 to D3: requests are held
  FwWakeFailed = 2,  // the last D0 request failed: requests fail
};
inline LONG FwMakeState(LONG PnpState, LONG PowerState) { return PnpState | (PowerState << 8); }
inline LONG FwPnpState(LONG State) { return State & 0xFF; }
inline LONG FwPowerState(LONG State) { return (State >> 8) & 0xFF; }

// The driver's own remove lock: a count that starts at 1 (the device's own
// reference) and an event signalled when it reaches 0. The platform's remove
// lock routines are missing on Windows 98, and IoReleaseRemoveLockAndWaitEx
// on 98 SE and Me too, so the driver keeps its own with the same rules.
typedef struct FW_REMOVE_LOCK {
  LONG Count;       // holders, plus 1 until FWReleaseRemoveLockAndWait
  LONG Removed;     // set once: later acquisitions fail
  KEVENT Released;  // notification event, signalled when Count reaches 0
} FW_REMOVE_LOCK;

// The per-device record, the device object's extension. The platform hands
// it over zero-filled, and the driver relies on that.
typedef struct _DEVICE_EXTENSION {
  PDEVICE_OBJECT DeviceObject;       // own device object
  PDEVICE_OBJECT LowerDeviceObject;  // target of everything sent down; null
                                     // before attaching and after removal
  PDEVICE_OBJECT Pdo;                // physical device object (kept only)
  FW_REMOVE_LOCK RemoveLock;         // held by each open and each request
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
  // FwMakeState(Plug and Play state, power state); see above.
  LONG DeviceState;
  // The Plug and Play state before a query, restored when it is cancelled
  // or fails. Under StateLock.
  LONG PreviousPnpState;
  // Serialises the changes of DeviceState with Resume (a synchronization
  // event used as a lock, signalled while free). PASSIVE_LEVEL only.
  KEVENT StateLock;
  // Signalled while DeviceState lets requests go on or fail, cleared while it
  // holds them (a notification event): held requests wait on it.
  KEVENT Resume;
  // Requests in the data path: admitted by the state and not yet done.
  LONG IoCount;
  // Signalled when IoCount falls to 0 (a notification event).
  KEVENT IoIdle;
  // The transfer IRP under way, for IoCancelIrp; null between transfers.
  // Set and cleared, and used by a canceller, only under CancelLock (a
  // synchronization event used as a lock), so that the transfer cannot free
  // the IRP under IoCancelIrp. PASSIVE_LEVEL only.
  PIRP TransferIrp;
  KEVENT CancelLock;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

inline PDEVICE_EXTENSION FwExtension(PDEVICE_OBJECT DeviceObject) {
  return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

// Reads a LONG that others change with interlocked operations. A plain
// load: where a read must not pass an earlier store, the store is itself
// interlocked (a full barrier on x86), or FwMemoryBarrier comes between.
// (InterlockedCompareExchange would do both, but Windows 9x's kernel is not
// known to export it.)
inline LONG FwRead(const LONG* Value) { return *(const volatile LONG*)Value; }

// A full memory barrier: any interlocked operation is one on x86.
inline VOID FwMemoryBarrier() {
  LONG barrier = 0;
  InterlockedExchange(&barrier, 1);
}

// The device state. Any IRQL.
inline LONG FwReadState(PDEVICE_EXTENSION Extension) { return FwRead(&Extension->DeviceState); }

// TRUE once removal has begun (surprise removal or the removal request):
// from then on nothing more is sent down but Plug and Play and power. Any
// IRQL.
inline BOOLEAN FwRemovalStarted(PDEVICE_EXTENSION Extension) {
  return FwPnpState(FwReadState(Extension)) >= FwSurpriseRemoved;
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

// TRUE when a breakpoint would reach a kernel debugger: on the NT family
// when kernel debugging is enabled (KD_DEBUGGER_ENABLED). Never on Windows
// 98 and Me, which document no such test for a WDM driver. Any IRQL.
BOOLEAN FwKernelDebuggerEnabled();

// How long a power-down, a stop or a removal waits for the transfer under way
// (which normally ends within milliseconds) before it cancels it, and how
// long a stop or removal query waits before it fails: 1 s, relative.
constexpr LONGLONG FW_DRAIN_TIMEOUT = -10 * 1000 * 1000;

// ---------------------------------------------------------------------------
// driverentry.cpp

// Called by the I/O manager once, at PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
BOOLEAN IsWin98();
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo);
// Removal begins: at IRP_MN_SURPRISE_REMOVAL (the device has left) or at
// IRP_MN_REMOVE_DEVICE when no surprise removal came first. Fails the held
// and later requests, ends the transfer under way, releases the
// configuration and deletes the link; the device object stays. PASSIVE_LEVEL,
// with StateLock held. Done once however often reached.
VOID StopUsingDevice(PDEVICE_OBJECT DeviceObject);
// IRP_MN_REMOVE_DEVICE, after the request went down: waits until no open or
// request holds the remove lock, then detaches and deletes the device object.
// PASSIVE_LEVEL. Done once however often reached.
VOID RemoveDevice(PDEVICE_OBJECT DeviceObject);
// The driver's remove lock (FW_REMOVE_LOCK): an acquisition fails with
// STATUS_DELETE_PENDING once removal has begun; the wait drops the device's
// own reference and returns when every holder has released.
VOID FWInitializeRemoveLock(FW_REMOVE_LOCK* Lock);
NTSTATUS FWAcquireRemoveLock(FW_REMOVE_LOCK* Lock);
VOID FWReleaseRemoveLock(FW_REMOVE_LOCK* Lock);
VOID FWReleaseRemoveLockAndWait(FW_REMOVE_LOCK* Lock);
// The data path's door. FWEnterDataPath admits a request by the device state
// (STATUS_SUCCESS: the caller goes on and calls FWLeaveDataPath when done),
// holds it while the state says so, or returns the status it fails with.
// PASSIVE_LEVEL.
NTSTATUS FWEnterDataPath(PDEVICE_EXTENSION Extension);
VOID FWLeaveDataPath(PDEVICE_EXTENSION Extension);
// Cancels the transfer IRP under way, if there is one. PASSIVE_LEVEL.
VOID FWCancelTransfer(PDEVICE_EXTENSION Extension);
// Completes Irp with Status and Information; returns Status.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG Information);
NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Passes IRP_MJ_SYSTEM_CONTROL (WMI) down: the driver offers no WMI.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Sends Irp to DeviceObject and waits for it; the caller completes Irp.
// Urb is only traced.
NTSTATUS FWLoaderSubmitIrpSynch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb);
NTSTATUS NTAPI FWLoaderSynchCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Completion routine of a device set-power request that DispatchPower waits
// for: signals the event (Context) and keeps the IRP for DispatchPower, which
// completes it.
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
// Irp. PASSIVE_LEVEL, with the extension's TransferLock held, inside the data
// path (FWEnterDataPath).
NTSTATUS FWWriteFWToDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In);
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
