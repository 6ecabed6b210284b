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
    }
  }
  return status;
}

// Windows 98 offers WDM 1.0 but not 1.10 (DriverEntry has required 1.0).
FW_INIT_CODE BOOLEAN IsWin98() { return !IoIsWdmVersionAvailable(1, 0x10); }

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

      IoInitializeRemoveLockEx(&extension->RemoveLock, FW_REMOVE_LOCK_TAG, 0, 100,
                               sizeof(IO_REMOVE_LOCK));
      KeInitializeEvent(&extension->TransferLock, SynchronizationEvent, TRUE);
      KeInitializeEvent(&extension->PowerOn, NotificationEvent, TRUE);
      KeInitializeEvent(&extension->TransferIdle, NotificationEvent, TRUE);
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

// Removal begins at surprise removal (the device has left) or at the removal
// request: new transfer requests fail with STATUS_DELETE_PENDING, the link
// goes and the configuration is released. The device object stays attached
// until IRP_MN_REMOVE_DEVICE, which Windows sends once the last handle is
// closed; deleting it earlier is a fault. Done once, however often reached.
FW_PAGEABLE_CODE VOID StopUsingDevice(PDEVICE_OBJECT DeviceObject) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  if (InterlockedExchange(&extension->RemovalStarted, 1) == 0) {
    // Removal without a stop: release what the start kept. Nothing is sent.
    FWDeconfigureDevice(DeviceObject, FALSE);
    IoDeleteSymbolicLink(&extension->LinkName);
    // Transfer requests waiting for D0 wake and fail.
    KeSetEvent(&extension->PowerOn, IO_NO_INCREMENT, FALSE);
  }
}

// IRP_MN_REMOVE_DEVICE: detaches and deletes the device object. It does not
// wait for the holders of the remove lock: each open holds it until its
// close, and after a surprise removal the handles are all closed by now.
// Requests that still arrive find RemovalStarted set and a null
// LowerDeviceObject, and fail with STATUS_DELETE_PENDING; the device
// object's memory stays until the last handle closes, so they can still look.
FW_PAGEABLE_CODE VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  StopUsingDevice(DeviceObject);

  // A removal request may arrive again.
  if (InterlockedExchange(&extension->DeviceRemoved, 1) == 0) {
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

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  NTSTATUS status;

  if (FwRemovalStarted(extension)) {
    status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  } else {
    status = IoAcquireRemoveLockEx(&extension->RemoveLock, Irp, FwSourceName, __LINE__,
                                   sizeof(IO_REMOVE_LOCK));
    if (!NT_SUCCESS(status)) {
      status = CompleteRequest(Irp, status, 0);
    } else {
      PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
      if (lowerDeviceObject == NULL) {
        status = CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
      } else {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(lowerDeviceObject, Irp);
      }
      IoReleaseRemoveLockEx(&extension->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
    }
  }
  return status;
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
      // The request fields exist once per device: one request at a time.
      KeWaitForSingleObject(&extension->TransferLock, Executive, KernelMode, FALSE, NULL);
      // Nothing may go to a suspended port: with its turn, the request waits
      // for D0 (or for removal). It marks itself as sending before it looks
      // at PowerOn a last time, and a device request to a lower state clears
      // PowerOn before it looks at TransferIdle, so that one of the two
      // always sees the other and waits.
      BOOLEAN powered = FALSE;
      while (!powered) {
        KeWaitForSingleObject(&extension->PowerOn, Executive, KernelMode, FALSE, NULL);
        KeClearEvent(&extension->TransferIdle);
        powered = KeReadStateEvent(&extension->PowerOn) != 0;
        if (!powered) {
          KeSetEvent(&extension->TransferIdle, IO_NO_INCREMENT, FALSE);
        }
      }
      USBD_PIPE_HANDLE pipe = in ? extension->InPipe : extension->OutPipe;
      if (FwRemovalStarted(extension)) {
        // Removal came while this request waited for its turn or for D0.
        status = STATUS_DELETE_PENDING;
      } else if (extension->ConfigDescriptor == NULL || pipe == NULL) {
        // Not started, or stopped: the pipe handles are not (or no longer) valid.
        status = STATUS_INVALID_DEVICE_STATE;
      } else {
        extension->RequestData = request->Data;
        extension->RequestLength = request->Count;
        status = FWWriteFWToDevice(DeviceObject, Irp, in);
        extension->RequestData = NULL;
        extension->RequestLength = 0;
      }
      KeSetEvent(&extension->TransferIdle, IO_NO_INCREMENT, FALSE);
      KeSetEvent(&extension->TransferLock, IO_NO_INCREMENT, FALSE);
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

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minorFunction = stack->MinorFunction;
  BOOLEAN remove = FALSE;
  BOOLEAN surpriseRemoval = FALSE;
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
        status = FWConfigureDevice(DeviceObject);
      }
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_QUERY_REMOVE_DEVICE\n");
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      DbgPrint("DispatchPnp: IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL\n");
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = FWForwardPnp(extension, Irp);
      surpriseRemoval = minorFunction == IRP_MN_SURPRISE_REMOVAL;
      remove = !surpriseRemoval;
      break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_CANCEL_REMOVE_DEVICE\n");
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_STOP_DEVICE\n");
      FWDeconfigureDevice(DeviceObject, TRUE);
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_QUERY_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_QUERY_STOP_DEVICE\n");
      status = FWForwardPnp(extension, Irp);
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      DbgPrint("DispatchPnp: IRP_MN_CANCEL_STOP_DEVICE\n");
      status = FWForwardPnp(extension, Irp);
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
  if (surpriseRemoval) {
    StopUsingDevice(DeviceObject);
  } else if (remove) {
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
      extension->DevicePower = state.DeviceState;
      if (state.DeviceState != PowerDeviceD0 && !FwRemovalStarted(extension)) {
        // New transfer requests wait for D0; the one under way (its pieces
        // follow one another from its completion routine) ends first.
        KeClearEvent(&extension->PowerOn);
        KeWaitForSingleObject(&extension->TransferIdle, Executive, KernelMode, FALSE, NULL);
      }
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, FWDevicePowerCompletion, NULL, TRUE, TRUE, TRUE);
      PoStartNextPowerIrp(Irp);
      status = PoCallDriver(lowerDeviceObject, Irp);
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

NTSTATUS NTAPI FWDevicePowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID /*Context*/) {
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  if (state == PowerDeviceD0 || !NT_SUCCESS(Irp->IoStatus.Status)) {
    // A failed D0 request sets it too: the system is working again, and a
    // transfer then fails rather than waiting with no end.
    KeSetEvent(&FwExtension(DeviceObject)->PowerOn, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_SUCCESS;
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
