// quillfw frame: entry, unload, AddDevice, removal, request completion,
// pass-down, device control dispatch, Plug and Play, power and the
// synchronous forward.

#include "quillfw.h"

static const char FwSourceName[] = "driverentry";

UNICODE_STRING ServiceKeyName;
BOOLEAN Win98;

// ---------------------------------------------------------------------------
// Entry and unload

extern "C" FW_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                   PUNICODE_STRING RegistryPath) {
  NTSTATUS status = STATUS_SUCCESS;
  DbgPrint("QUILLDEV - Entering DriverEntry: DriverObject %8.8lX\n", FwTraceAddress(DriverObject));

  if (!IoIsWdmVersionAvailable(1, 0)) {
    DbgPrint("QUILLDEV - Expected version of WDM (%d.%2.2d) not available\n", 1, 0);
    status = STATUS_UNSUCCESSFUL;
  } else {
    Win98 = IsWin98();
    if (Win98) {
      DbgPrint("QUILLDEV - Running under Windows 98\n");
    } else {
      DbgPrint("QUILLDEV - Running under NT\n");
    }

    // Room for a terminating NUL after the copied path.
    USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    PWCH buffer = (PWCH)ExAllocatePoolWithTag(PagedPool, size, FW_POOL_TAG);
    if (buffer == NULL) {
      DbgPrint("QUILLDEV - Unable to allocate %d bytes for copy of service key name\n", size);
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ServiceKeyName.Buffer = buffer;
      ServiceKeyName.Length = 0;
      ServiceKeyName.MaximumLength = size;
      RtlCopyUnicodeString(&ServiceKeyName, RegistryPath);

      DriverObject->DriverUnload = DriverUnload;
      DriverObject->DriverExtension->AddDevice = AddDevice;
      DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
      DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
      DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
      DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
      DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
      DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
      DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    }
  }
  return status;
}

// Windows 98 offers WDM 1.0 but not 1.10 (DriverEntry has required 1.0).
FW_INIT_CODE BOOLEAN IsWin98() { return !IoIsWdmVersionAvailable(1, 0x10); }

// KD_DEBUGGER_ENABLED is the NT family's documented test (the kernel was
// started with debugging enabled). Windows 98 and Me document none for a WDM
// driver, so there an assertion only traces.
BOOLEAN FwKernelDebuggerEnabled() { return !Win98 && KD_DEBUGGER_ENABLED; }

FW_PAGEABLE_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  FW_PAGED_CODE();
  DbgPrint("QUILLDEV - Entering DriverUnload: DriverObject %8.8lX\n", FwTraceAddress(DriverObject));
  // The device objects are gone by now: RemoveDevice deletes them.
  RtlFreeUnicodeString(&ServiceKeyName);
}

// ---------------------------------------------------------------------------
// Device object

FW_PAGEABLE_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  FW_PAGED_CODE();
  DbgPrint("QUILLDEV - Entering AddDevice: DriverObject %8.8lX, pdo %8.8lX\n",
           FwTraceAddress(DriverObject), FwTraceAddress(Pdo));

  NTSTATUS linkStatus = STATUS_UNSUCCESSFUL;  // STATUS_SUCCESS once the link exists
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, QUILLFW_DEVICE_NAME);

  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName, FILE_DEVICE_UNKNOWN,
                     FILE_DEVICE_SECURE_OPEN, FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    // The name is fixed, so a second device finds it taken and ends here.
    DbgPrint("QUILLDEV - IoCreateDevice failed - %X\n", status);
  } else {
    PDEVICE_EXTENSION extension = FwExtension(deviceObject);
    extension->DeviceObject = deviceObject;
    extension->Pdo = Pdo;

    // Every way out of this block passes the cleanup below it.
    do {
      extension->DeviceName.Buffer =
          (PWCH)ExAllocatePoolWithTag(NonPagedPool, deviceName.MaximumLength, FW_POOL_TAG);
      if (extension->DeviceName.Buffer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        DbgPrint("QUILLDEV - Unable to allocate %d bytes for copy of name\n",
                 deviceName.MaximumLength);
        break;
      }
      extension->DeviceName.MaximumLength = deviceName.MaximumLength;
      RtlCopyUnicodeString(&extension->DeviceName, &deviceName);

      deviceObject->Flags |= DO_BUFFERED_IO;

      extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, Pdo);
      if (extension->LowerDeviceObject == NULL) {
        DbgPrint("QUILLDEV - IoAttachDeviceToDeviceStack failed\n");
        status = STATUS_DEVICE_REMOVED;
        break;
      }

      // Power requests arrive at PASSIVE_LEVEL.
      deviceObject->Flags |= DO_POWER_PAGABLE;
      // Without the link the device works but cannot be opened by name; that
      // is not a reason to refuse the device.
      RtlInitUnicodeString(&extension->LinkName, QUILLFW_LINK_NAME);
      linkStatus = IoCreateSymbolicLink(&extension->LinkName, &extension->DeviceName);

      FWInitializeRemoveLock(&extension->RemoveLock);
      KeInitializeEvent(&extension->TransferLock, SynchronizationEvent, TRUE);
      // Not started, powered: requests fail until a start (Resume signalled).
      extension->DeviceState = FwMakeState(FwNotStarted, FwPowered);
      KeInitializeEvent(&extension->StateLock, SynchronizationEvent, TRUE);
      KeInitializeEvent(&extension->Resume, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->IoIdle, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->CancelLock, SynchronizationEvent, TRUE);
      deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    } while (FALSE);

    if (!NT_SUCCESS(status)) {
      if (extension->DeviceName.Buffer != NULL) {
        RtlFreeUnicodeString(&extension->DeviceName);
      }
      if (extension->LowerDeviceObject != NULL) {
        IoDetachDevice(extension->LowerDeviceObject);
      }
      if (linkStatus == STATUS_SUCCESS) {
        IoDeleteSymbolicLink(&extension->LinkName);
      }
      IoDeleteDevice(deviceObject);
    }
  }
  return status;
}

// ---------------------------------------------------------------------------
// The driver's remove lock

FW_PAGEABLE_CODE VOID FWInitializeRemoveLock(FW_REMOVE_LOCK* Lock) {
  FW_PAGED_CODE();
  Lock->Count = 1;
  Lock->Removed = 0;
  KeInitializeEvent(&Lock->Released, NotificationEvent, FALSE);
}

// Counts first, then looks: a removal that marks the lock after the count
// went up waits for this holder, one that marked it before is seen here.
NTSTATUS FWAcquireRemoveLock(FW_REMOVE_LOCK* Lock) {
  NTSTATUS status = STATUS_SUCCESS;
  InterlockedIncrement(&Lock->Count);
  if (FwRead(&Lock->Removed) != 0) {
    FWReleaseRemoveLock(Lock);
    status = STATUS_DELETE_PENDING;
  }
  return status;
}

VOID FWReleaseRemoveLock(FW_REMOVE_LOCK* Lock) {
  if (InterlockedDecrement(&Lock->Count) == 0) {
    KeSetEvent(&Lock->Released, IO_NO_INCREMENT, FALSE);
  }
}

FW_PAGEABLE_CODE VOID FWReleaseRemoveLockAndWait(FW_REMOVE_LOCK* Lock) {
  FW_PAGED_CODE();
  InterlockedExchange(&Lock->Removed, 1);
  FWReleaseRemoveLock(Lock);
  KeWaitForSingleObject(&Lock->Released, Executive, KernelMode, FALSE, NULL);
}

// ---------------------------------------------------------------------------
// The device state and the data path's door

// How the state treats a request: STATUS_SUCCESS lets it go on, STATUS_PENDING
// holds it until the state changes, any other status fails it.
static NTSTATUS FWAdmission(LONG State) {
  NTSTATUS verdict;
  switch (FwPnpState(State)) {
    case FwSurpriseRemoved:
    case FwRemoved:
      verdict = STATUS_DELETE_PENDING;
      break;
    case FwStopPending:
    case FwRemovePending:
      // The query may yet be cancelled.
      verdict = STATUS_PENDING;
      break;
    case FwStarted:
      if (FwPowerState(State) == FwPowered) {
        verdict = STATUS_SUCCESS;
      } else if (FwPowerState(State) == FwPowerHeld) {
        // Nothing may go to a suspended port: the request waits for D0.
        verdict = STATUS_PENDING;
      } else {
        verdict = STATUS_DEVICE_POWERED_OFF;
      }
      break;
    default:
      // Not started, or stopped: there is no configuration to send to.
      verdict = STATUS_INVALID_DEVICE_STATE;
      break;
  }
  return verdict;
}

// Changes the device state; PnpState or PowerState -1 keeps that part.
// Resume follows the new state: cleared before a state that holds requests
// is published, signalled after one that does not. Called with StateLock
// held, so that Resume is signalled exactly while the state lets requests
// go on or fail. Returns the old state.
static LONG FWSetState(PDEVICE_EXTENSION Extension, LONG PnpState, LONG PowerState) {
  LONG old = FwReadState(Extension);
  LONG state = FwMakeState(PnpState >= 0 ? PnpState : FwPnpState(old),
                           PowerState >= 0 ? PowerState : FwPowerState(old));
  if (FWAdmission(state) == STATUS_PENDING) {
    KeClearEvent(&Extension->Resume);
    InterlockedExchange(&Extension->DeviceState, state);
  } else {
    InterlockedExchange(&Extension->DeviceState, state);
    KeSetEvent(&Extension->Resume, IO_NO_INCREMENT, FALSE);
  }
  return old;
}

static VOID FWLockState(PDEVICE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->StateLock, Executive, KernelMode, FALSE, NULL);
}

static VOID FWUnlockState(PDEVICE_EXTENSION Extension) {
  KeSetEvent(&Extension->StateLock, IO_NO_INCREMENT, FALSE);
}

// The request counts itself in before it reads the state, and a change of
// state is published before the changer reads the count (both interlocked,
// full barriers): either the request sees the new state, or the changer sees
// the request and waits for it.
NTSTATUS FWEnterDataPath(PDEVICE_EXTENSION Extension) {
  NTSTATUS verdict = STATUS_PENDING;
  while (verdict == STATUS_PENDING) {
    InterlockedIncrement(&Extension->IoCount);
    verdict = FWAdmission(FwReadState(Extension));
    if (verdict != STATUS_SUCCESS) {
      FWLeaveDataPath(Extension);
    }
    if (verdict == STATUS_PENDING) {
      KeWaitForSingleObject(&Extension->Resume, Executive, KernelMode, FALSE, NULL);
    }
  }
  return verdict;
}

VOID FWLeaveDataPath(PDEVICE_EXTENSION Extension) {
  if (InterlockedDecrement(&Extension->IoCount) == 0) {
    KeSetEvent(&Extension->IoIdle, IO_NO_INCREMENT, FALSE);
  }
}

// Under CancelLock, the transfer cannot withdraw and free its IRP.
FW_PAGEABLE_CODE VOID FWCancelTransfer(PDEVICE_EXTENSION Extension) {
  FW_PAGED_CODE();
  KeWaitForSingleObject(&Extension->CancelLock, Executive, KernelMode, FALSE, NULL);
  if (Extension->TransferIrp != NULL) {
    DbgPrint("QUILLDEV - Cancelling the transfer under way\n");
    IoCancelIrp(Extension->TransferIrp);
  }
  KeSetEvent(&Extension->CancelLock, IO_NO_INCREMENT, FALSE);
}

// Waits until no request is in the data path. Cancel: after
// FW_DRAIN_TIMEOUT the transfer under way is cancelled (again after each
// further period), and the wait goes on until it has ended; otherwise the
// wait gives up then. Returns TRUE when the data path is empty. The state
// has already been changed so that no new request enters.
static FW_PAGEABLE_CODE BOOLEAN FWDrainDataPath(PDEVICE_EXTENSION Extension, BOOLEAN Cancel) {
  FW_PAGED_CODE();
  LARGE_INTEGER timeout;
  timeout.QuadPart = FW_DRAIN_TIMEOUT;
  BOOLEAN idle = FALSE;
  BOOLEAN waiting = TRUE;
  while (waiting) {
    // Cleared before the count is read: a request that leaves after the read
    // signals it again.
    KeClearEvent(&Extension->IoIdle);
    FwMemoryBarrier();
    if (FwRead(&Extension->IoCount) == 0) {
      idle = TRUE;
      waiting = FALSE;
    } else if (KeWaitForSingleObject(&Extension->IoIdle, Executive, KernelMode, FALSE, &timeout) ==
               STATUS_TIMEOUT) {
      if (Cancel) {
        FWCancelTransfer(Extension);
      } else {
        waiting = FALSE;
      }
    }
  }
  return idle;
}

// Removal begins: failing the held and later requests, ending the transfer
// under way, releasing the configuration and the link. The device object
// stays attached until IRP_MN_REMOVE_DEVICE, which Windows sends once the
// last handle is closed; deleting it earlier is a fault.
FW_PAGEABLE_CODE VOID StopUsingDevice(PDEVICE_OBJECT DeviceObject) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  if (FwPnpState(FwReadState(extension)) < FwSurpriseRemoved) {
    FWSetState(extension, FwSurpriseRemoved, -1);
    // The name goes first: an open from now on finds no device rather than
    // one that refuses it.
    IoDeleteSymbolicLink(&extension->LinkName);
    FWDrainDataPath(extension, TRUE);
    // Removal without a stop: release what the start kept. Nothing is sent.
    FWDeconfigureDevice(DeviceObject, FALSE);
  }
}

// Requests that still arrive after it find the removal state and a null
// LowerDeviceObject, and fail with STATUS_DELETE_PENDING; the device object's
// memory stays until the last reference goes, so they can still look.
FW_PAGEABLE_CODE VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  FWLockState(extension);
  StopUsingDevice(DeviceObject);
  LONG old = FWSetState(extension, FwRemoved, -1);
  FWUnlockState(extension);

  // A removal request may arrive again.
  if (FwPnpState(old) != FwRemoved) {
    FWReleaseRemoveLockAndWait(&extension->RemoveLock);
    RtlFreeUnicodeString(&extension->DeviceName);
    extension->DeviceName.Buffer = NULL;

    PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
    if (lowerDeviceObject != NULL) {
      IoDetachDevice(lowerDeviceObject);
      extension->LowerDeviceObject = NULL;
    }
    IoDeleteDevice(DeviceObject);
  }
}

// ---------------------------------------------------------------------------
// Request completion and pass-down

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Passes a request down as it is, under the remove lock; fails it once
// removal has begun.
static NTSTATUS FWPassDown(PDEVICE_EXTENSION Extension, PIRP Irp) {
  NTSTATUS status;
  if (FwRemovalStarted(Extension)) {
    status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  } else {
    status = FWAcquireRemoveLock(&Extension->RemoveLock);
    if (!NT_SUCCESS(status)) {
      status = CompleteRequest(Irp, status, 0);
    } else {
      PDEVICE_OBJECT lowerDeviceObject = Extension->LowerDeviceObject;
      if (lowerDeviceObject == NULL) {
        status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
      } else {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(lowerDeviceObject, Irp);
      }
      FWReleaseRemoveLock(&Extension->RemoveLock);
    }
  }
  return status;
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return FWPassDown(FwExtension(DeviceObject), Irp);
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return FWPassDown(FwExtension(DeviceObject), Irp);
}

// ---------------------------------------------------------------------------
// Device control: the firmware transfer codes (contract in quillfw_public.h).

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("QUILLDEV - Dispatch DeviceControl, IRP:0x%x \n", FwTraceAddress(Irp));
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG controlCode = stack->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status;

  if (controlCode == IOCTL_FIRMWARE_WRITE || controlCode == IOCTL_FIRMWARE_READ) {
    BOOLEAN in = controlCode == IOCTL_FIRMWARE_READ;
    TransferRequest* request = (TransferRequest*)Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;

    if (FwRemovalStarted(extension)) {
      status = STATUS_DELETE_PENDING;
    } else if (inputLength < sizeof(TransferRequest) ||
               !TransferRequestHolds(inputLength, request->Count) ||
               (in && !TransferRequestHolds(outputLength, request->Count))) {
      status = STATUS_INVALID_BUFFER_SIZE;
    } else {
      status = FWAcquireRemoveLock(&extension->RemoveLock);
    }
    if (NT_SUCCESS(status)) {
      // The request fields exist once per device: one request at a time.
      // With its turn, the request passes the state's door, which may hold
      // it (a stop or removal query, D1 to D3) or fail it.
      KeWaitForSingleObject(&extension->TransferLock, Executive, KernelMode, FALSE, NULL);
      status = FWEnterDataPath(extension);
      if (NT_SUCCESS(status)) {
        USBD_PIPE_HANDLE pipe = in ? extension->InPipe : extension->OutPipe;
        if (pipe == NULL) {
          // No endpoint in that direction.
          status = STATUS_INVALID_DEVICE_STATE;
        } else {
          extension->RequestData = request->Data;
          extension->RequestLength = request->Count;
          status = FWWriteFWToDevice(DeviceObject, Irp, in);
          extension->RequestData = NULL;
          extension->RequestLength = 0;
        }
        FWLeaveDataPath(extension);
      }
      KeSetEvent(&extension->TransferLock, IO_NO_INCREMENT, FALSE);
      FWReleaseRemoveLock(&extension->RemoveLock);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
  } else {
    // Other codes succeed and do nothing.
    status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
  }
  return status;
}

// ---------------------------------------------------------------------------
// Plug and Play

static VOID FWTraceExit(const char* RoutineName, NTSTATUS Status) {
  if (NT_SUCCESS(Status)) {
    DbgPrint("%s Exit with SUCCESS = %x\n", RoutineName, Status);
  } else {
    DbgPrint("%s Exit with FAILURE = %x\n", RoutineName, Status);
  }
}

NTSTATUS FWLoaderSubmitIrpSynch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PURB Urb) {
  DbgPrint("%s Enter\n", "FWLoaderSubmitIrpSynch");
  DbgPrint("FWLoaderSubmitIrpSynch: DeviceObject = 0x%x\n", FwTraceAddress(DeviceObject));
  DbgPrint("FWLoaderSubmitIrpSynch: Irp = 0x%x\n", FwTraceAddress(Irp));
  DbgPrint("FWLoaderSubmitIrpSynch: Urb = 0x%x\n", FwTraceAddress(Urb));

  IoCopyCurrentIrpStackLocationToNext(Irp);
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  IoSetCompletionRoutine(Irp, FWLoaderSynchCompletionRoutine, &event, TRUE, TRUE, TRUE);

  if (IoCallDriver(DeviceObject, Irp) == STATUS_PENDING) {
    DbgPrint("FWLoaderSubmitIrpSynch: Irp is pending...\n");
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  }
  NTSTATUS status = Irp->IoStatus.Status;
  FWTraceExit("FWLoaderSubmitIrpSynch", status);
  return status;
}

// Keeps the IRP for the waiting FWLoaderSubmitIrpSynch.
NTSTATUS NTAPI FWLoaderSynchCompletionRoutine(PDEVICE_OBJECT /*DeviceObject*/, PIRP /*Irp*/,
                                              PVOID Context) {
  DbgPrint("%s Enter\n", "FWLoaderSynchCompletionRoutine");
  if (Context != NULL) {
    KeSetEvent((PKEVENT)Context, 0, FALSE);
  }
  FWTraceExit("FWLoaderSynchCompletionRoutine", STATUS_SUCCESS);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Forwards a Plug and Play request and waits for the lower drivers' answer.
// After removal there is nobody below: the request keeps the status it has.
static NTSTATUS FWForwardPnp(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PDEVICE_OBJECT lowerDeviceObject = Extension->LowerDeviceObject;
  NTSTATUS status;
  if (lowerDeviceObject == NULL) {
    status = Irp->IoStatus.Status;
  } else {
    status = FWLoaderSubmitIrpSynch(lowerDeviceObject, Irp, NULL);
  }
  return status;
}

// A stop or removal query: requests are held from now on, and the query
// succeeds once the request under way has ended (the lower drivers have
// their say then). It fails if that takes longer than FW_DRAIN_TIMEOUT, and
// the state is restored. Returns the query's status; Forwarded tells whether
// the lower drivers saw it.
static NTSTATUS FWQueryStopOrRemove(PDEVICE_EXTENSION Extension, PIRP Irp, LONG PendingState) {
  NTSTATUS status;
  FWLockState(Extension);
  LONG old = FWSetState(Extension, PendingState, -1);
  if (FwPnpState(old) >= FwSurpriseRemoved) {
    // Removal has begun: the query changes nothing.
    FWSetState(Extension, FwPnpState(old), -1);
    status = FWForwardPnp(Extension, Irp);
  } else {
    if (FwPnpState(old) != FwStopPending && FwPnpState(old) != FwRemovePending) {
      Extension->PreviousPnpState = FwPnpState(old);
    }
    if (!FWDrainDataPath(Extension, FALSE)) {
      status = STATUS_DEVICE_BUSY;
    } else {
      status = FWForwardPnp(Extension, Irp);
    }
    if (!NT_SUCCESS(status)) {
      FWSetState(Extension, Extension->PreviousPnpState, -1);
    }
  }
  FWUnlockState(Extension);
  return status;
}

// A cancelled query: the state before the query comes back, and the held
// requests go on.
static NTSTATUS FWCancelQuery(PDEVICE_EXTENSION Extension, PIRP Irp, LONG PendingState) {
  NTSTATUS status = FWForwardPnp(Extension, Irp);
  FWLockState(Extension);
  if (FwPnpState(FwReadState(Extension)) == PendingState) {
    FWSetState(Extension, Extension->PreviousPnpState, -1);
  }
  FWUnlockState(Extension);
  return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minorFunction = stack->MinorFunction;
  BOOLEAN remove = FALSE;
  NTSTATUS status;

  switch (minorFunction) {
    case IRP_MN_START_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_START_DEVICE\n");
      status = FWForwardPnp(extension, Irp);
      if (!NT_SUCCESS(status)) {
        DbgPrint("DispatchPnp: Error submitting Irp in IRP_MN_START_DEVICE\n");
      }
      DbgPrint("DispatchPnp: Registry service key %wZ\n", &ServiceKeyName);
      // The device is only ours to configure once the drivers below have
      // started it; a failed lower start fails the start with its status
      // (configuring anyway could report the start as a success).
      if (NT_SUCCESS(status)) {
        FWLockState(extension);
        if (FwPnpState(FwReadState(extension)) == FwStarted) {
          // A start without a stop before it: nothing may use the
          // configuration that it replaces.
          FWSetState(extension, FwStopped, -1);
          FWDrainDataPath(extension, TRUE);
        }
        if (FwPnpState(FwReadState(extension)) < FwSurpriseRemoved) {
          status = FWConfigureDevice(DeviceObject);
          FWSetState(extension, NT_SUCCESS(status) ? FwStarted : FwNotStarted, -1);
        }
        FWUnlockState(extension);
      }
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_QUERY_REMOVE_DEVICE\n");
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = FWQueryStopOrRemove(extension, Irp, FwRemovePending);
      break;

    case IRP_MN_SURPRISE_REMOVAL:
      DbgPrint("DispatchPnp: IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL\n");
      // The requests and the transfer end before the request goes down.
      FWLockState(extension);
      StopUsingDevice(DeviceObject);
      FWUnlockState(extension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_REMOVE_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL\n");
      FWLockState(extension);
      StopUsingDevice(DeviceObject);
      FWUnlockState(extension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = FWForwardPnp(extension, Irp);
      remove = TRUE;
      break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_CANCEL_REMOVE_DEVICE\n");
      status = FWCancelQuery(extension, Irp, FwRemovePending);
      break;

    case IRP_MN_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_STOP_DEVICE\n");
      // Requests fail from here on; the one under way ends (or is
      // cancelled) before the configuration goes.
      FWLockState(extension);
      if (FwPnpState(FwReadState(extension)) < FwSurpriseRemoved) {
        FWSetState(extension, FwStopped, -1);
        FWDrainDataPath(extension, TRUE);
        FWDeconfigureDevice(DeviceObject, TRUE);
      }
      FWUnlockState(extension);
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_QUERY_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_QUERY_STOP_DEVICE\n");
      status = FWQueryStopOrRemove(extension, Irp, FwStopPending);
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_CANCEL_STOP_DEVICE\n");
      status = FWCancelQuery(extension, Irp, FwStopPending);
      break;

    case IRP_MN_QUERY_CAPABILITIES:
      DbgPrint("DispatchPnp: IRP_MN_QUERY_CAPABILITIES\n");
      // Before the lower drivers see it, so that they can still clear it.
      stack->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = TRUE;
      status = FWForwardPnp(extension, Irp);
      break;

    default:
      DbgPrint("DispatchPnp: Unsupported Pnp Function = 0x%x\n", minorFunction);
      status = FWForwardPnp(extension, Irp);
      break;
  }

  // Information stays as the lower drivers set it.
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (remove) {
    RemoveDevice(DeviceObject);
  }

  FWTraceExit("DispatchPnp", status);
  return status;
}

// ---------------------------------------------------------------------------
// Power

// Passes a power request down unchanged.
static NTSTATUS FWPassPowerDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(LowerDeviceObject, Irp);
}

// Sends a device set-power request down and waits until the lower drivers
// have finished it, pending or not. DO_POWER_PAGABLE: PASSIVE_LEVEL. The
// caller completes the IRP.
static FW_PAGEABLE_CODE NTSTATUS FWSendDevicePowerDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp) {
  FW_PAGED_CODE();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FWDevicePowerCompletion, &done, TRUE, TRUE, TRUE);
  if (PoCallDriver(LowerDeviceObject, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
  }
  return Irp->IoStatus.Status;
}

// A device set-power request. To D0: down first; once the device is powered,
// held requests go on, and if the device failed to power up they fail, as
// does every later request until a D0 request succeeds. To D1-D3: requests
// are held first, the one under way ends (or is cancelled after
// FW_DRAIN_TIMEOUT), and only then the request goes down; a device that
// refuses stays in D0 and the held requests go on.
static NTSTATUS FWSetDevicePower(PDEVICE_EXTENSION Extension, PDEVICE_OBJECT LowerDeviceObject,
                                 PIRP Irp, DEVICE_POWER_STATE State) {
  NTSTATUS status;
  if (State == PowerDeviceD0) {
    Extension->DevicePower = State;
    status = FWSendDevicePowerDown(LowerDeviceObject, Irp);
    FWLockState(Extension);
    if (NT_SUCCESS(status)) {
      FWSetState(Extension, -1, FwPowered);
    } else {
      FWSetState(Extension, -1, FwWakeFailed);
    }
    FWUnlockState(Extension);
  } else {
    FWLockState(Extension);
    LONG old = FWSetState(Extension, -1, FwPowerHeld);
    FWDrainDataPath(Extension, TRUE);
    FWUnlockState(Extension);
    Extension->DevicePower = State;
    status = FWSendDevicePowerDown(LowerDeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
      FWLockState(Extension);
      FWSetState(Extension, -1, FwPowerState(old));
      FWUnlockState(Extension);
    }
  }
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DbgPrint("%s Enter\n", "DispatchPower");
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  POWER_STATE_TYPE type = stack->Parameters.Power.Type;
  POWER_STATE state = stack->Parameters.Power.State;
  DbgPrint("DispatchPower: Power.Type = 0x%x\n", type);
  DbgPrint("DispatchPower: Power.State.SystemState = 0x%x\n", state.SystemState);
  DbgPrint("DispatchPower: Power.State.DeviceState = 0x%x\n", state.DeviceState);

  PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
  NTSTATUS status;

  if (lowerDeviceObject == NULL) {
    // Removed: there is no stack below to pass the request to.
    PoStartNextPowerIrp(Irp);
    status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  } else if (stack->MinorFunction == IRP_MN_SET_POWER) {
    DbgPrint("DispatchPower: IRP_MN_SET_POWER\n");
    if (type == SystemPowerState) {
      DbgPrint("DispatchPower: SystemPowerState\n");
      POWER_STATE wanted;
      wanted.DeviceState = state.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
      if (wanted.DeviceState != extension->DevicePower) {
        // FWLoaderPowerRequestCompletion finishes the system request, maybe
        // before PoRequestPowerIrp returns: mark it pending first.
        IoMarkIrpPending(Irp);
        NTSTATUS requestStatus = PoRequestPowerIrp(lowerDeviceObject, IRP_MN_SET_POWER, wanted,
                                                   FWLoaderPowerRequestCompletion, Irp, NULL);
        if (!NT_SUCCESS(requestStatus)) {
          if (wanted.DeviceState == PowerDeviceD0) {
            // No way back to D0: requests fail rather than wait for it.
            FWLockState(extension);
            FWSetState(extension, -1, FwWakeFailed);
            FWUnlockState(extension);
          }
          // No device request: a system set-power request may not be failed,
          // so it goes down as it came.
          FWPassPowerDown(lowerDeviceObject, Irp);
        }
        status = STATUS_PENDING;
      } else {
        status = FWPassPowerDown(lowerDeviceObject, Irp);
      }
    } else {
      DbgPrint("DispatchPower: DevicePowerState\n");
      status = FWSetDevicePower(extension, lowerDeviceObject, Irp, state.DeviceState);
    }
  } else if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
    DbgPrint("DispatchPower: IRP_MN_QUERY_POWER\n");
    status = FWPassPowerDown(lowerDeviceObject, Irp);
  } else {
    DbgPrint("DispatchPower: Default = 0x%x\n", stack->MinorFunction);
    status = FWPassPowerDown(lowerDeviceObject, Irp);
  }

  FWTraceExit("DispatchPower", status);
  return status;
}

NTSTATUS NTAPI FWDevicePowerCompletion(PDEVICE_OBJECT /*DeviceObject*/, PIRP /*Irp*/,
                                       PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI FWLoaderPowerRequestCompletion(PDEVICE_OBJECT /*DeviceObject*/, UCHAR /*MinorFunction*/,
                                          POWER_STATE /*PowerState*/, PVOID Context,
                                          PIO_STATUS_BLOCK IoStatus) {
  DbgPrint("%s Enter\n", "FWLoaderPowerRequestCompletion");
  // The device request's status is only traced. The system request is
  // finished here, so this driver sets its status: the power manager
  // presets STATUS_NOT_SUPPORTED on new power IRPs, and a system set-power
  // request must not fail.
  NTSTATUS status = IoStatus->Status;
  PIRP systemIrp = (PIRP)Context;
  systemIrp->IoStatus.Status = STATUS_SUCCESS;
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
  FWTraceExit("FWLoaderPowerRequestCompletion", status);
}
