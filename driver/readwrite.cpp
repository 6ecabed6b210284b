// quillfw data side: create and close, USB configuration, URB submission,
// and the transfer routine with its completion routine.

#include "quillfw.h"

static const char FwSourceName[] = "readwrite";

// ---------------------------------------------------------------------------
// Create and close. Each open holds the driver's remove lock until its close,
// so that the removal waits for it (on every family: the lock is the
// driver's own).

FW_PAGEABLE_CODE NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FW_PAGED_CODE();
  DbgPrint("QUILLDEV - IRP_MJ_CREATE\n");
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);

  NTSTATUS status = FWAcquireRemoveLock(&extension->RemoveLock);
  if (NT_SUCCESS(status)) {
    InterlockedIncrement(&extension->OpenHandles);
  }
  return CompleteRequest(Irp, status, 0);
}

FW_PAGEABLE_CODE NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  FW_PAGED_CODE();
  DbgPrint("QUILLDEV - IRP_MJ_CLOSE\n");
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);

  InterlockedDecrement(&extension->OpenHandles);
  FWReleaseRemoveLock(&extension->RemoveLock);
  return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// ---------------------------------------------------------------------------
// URB submission

FW_PAGEABLE_CODE NTSTATUS FWSubmitUrbSynch(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  FW_PAGED_CODE();
  FW_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  NTSTATUS status;

  PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
  if (lowerDeviceObject == NULL || FwRemovalStarted(extension)) {
    // Removed: the device below is not ours to talk to any more.
    status = STATUS_DELETE_PENDING;
  } else {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lowerDeviceObject, NULL,
                                             0, NULL, 0, TRUE, &event, &ioStatus);
    if (irp == NULL) {
      DbgPrint("QUILLDEV - Unable to allocate IRP for sending URB\n");
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;
      // The I/O manager releases the IRP when it completes.
      status = IoCallDriver(lowerDeviceObject, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = ioStatus.Status;
      }
    }
  }
  return status;
}

FW_PAGEABLE_CODE NTSTATUS FWResetPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE Pipe) {
  FW_PAGED_CODE();
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb.UrbPipeRequest.PipeHandle = Pipe;

  NTSTATUS status = FWSubmitUrbSynch(DeviceObject, &urb);
  if (!NT_SUCCESS(status)) {
    DbgPrint("QUILLDEV - Error %X trying to reset a pipe\n", status);
  }
  return status;
}

// Reads one descriptor into Buffer. Moved (optional) receives the byte count
// that the bus driver reports.
static FW_PAGEABLE_CODE NTSTATUS FWGetDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Type,
                                                 UCHAR Index, USHORT LanguageId, PVOID Buffer,
                                                 ULONG Length, PULONG Moved) {
  FW_PAGED_CODE();
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, Index,
                               LanguageId, Buffer, NULL, Length, NULL);
  NTSTATUS status = FWSubmitUrbSynch(DeviceObject, &urb);
  if (Moved != NULL) {
    *Moved = urb.UrbControlDescriptorRequest.TransferBufferLength;
  }
  return status;
}

// ---------------------------------------------------------------------------
// USB configuration

FW_PAGEABLE_CODE NTSTATUS FWGetStringDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR Index,
                                                PUNICODE_STRING String) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  UCHAR reply[FW_STRING_REPLY_SIZE];
  NTSTATUS status = STATUS_SUCCESS;

  // The language list is read once per device and kept across restarts.
  if (extension->LanguageId == 0) {
    RtlZeroMemory(reply, sizeof(reply));
    status =
        FWGetDescriptor(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, 0, 0, reply, sizeof(reply), NULL);
    if (NT_SUCCESS(status)) {
      extension->LanguageId = (USHORT)(reply[2] | (reply[3] << 8));
    }
  }

  if (NT_SUCCESS(status)) {
    // Zero-filled, so that a short reply never exposes stale stack bytes.
    RtlZeroMemory(reply, sizeof(reply));
    status = FWGetDescriptor(DeviceObject, USB_STRING_DESCRIPTOR_TYPE, Index, extension->LanguageId,
                             reply, sizeof(reply), NULL);
  }

  if (NT_SUCCESS(status)) {
    // The descriptor's own length decides; the reported byte count does not.
    UCHAR descriptorLength = reply[0];
    if (descriptorLength < 2) {
      // Too short to hold even its own header.
      status = STATUS_DEVICE_DATA_ERROR;
    } else {
      USHORT characters = (USHORT)((descriptorLength - 2) / 2);
      PWCH text = (PWCH)ExAllocatePoolWithTag(PagedPool, descriptorLength, FW_POOL_TAG);
      if (text == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      } else {
        RtlCopyMemory(text, reply + 2, characters * sizeof(WCHAR));
        text[characters] = UNICODE_NULL;
        String->Length = (USHORT)(characters * sizeof(WCHAR));
        String->MaximumLength = (USHORT)(String->Length + sizeof(WCHAR));
        String->Buffer = text;
      }
    }
  }
  return status;
}

// Traces string Index with Format when the device has one and it reads.
static FW_PAGEABLE_CODE VOID FWTraceString(PDEVICE_OBJECT DeviceObject, UCHAR Index,
                                           const char* Format) {
  FW_PAGED_CODE();
  if (Index != 0) {
    UNICODE_STRING text;
    if (NT_SUCCESS(FWGetStringDescriptor(DeviceObject, Index, &text))) {
      DbgPrint(Format, text.Buffer);
      RtlFreeUnicodeString(&text);
    }
  }
}

// Whether the descriptors of a configuration read whole lie inside its
// wTotalLength bytes, each at least its own header long, an interface or
// endpoint descriptor at least its type's size. USBD_ParseConfigurationDescriptorEx
// and USBD_CreateConfigurationRequestEx take them at their word and read
// past a short one just the same.
static FW_PAGEABLE_CODE BOOLEAN
FWConfigurationIsWellFormed(PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
  FW_PAGED_CODE();
  PUCHAR at = (PUCHAR)Descriptor;
  PUCHAR end = at + Descriptor->wTotalLength;
  BOOLEAN wellFormed = TRUE;
  while (wellFormed && at < end) {
    if (end - at < 2 || at[0] < 2 || at[0] > end - at ||
        (at[1] == USB_INTERFACE_DESCRIPTOR_TYPE &&
         at[0] < (UCHAR)sizeof(USB_INTERFACE_DESCRIPTOR)) ||
        (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at[0] < (UCHAR)sizeof(USB_ENDPOINT_DESCRIPTOR))) {
      wellFormed = FALSE;
    } else {
      at += at[0];
    }
  }
  return wellFormed;
}

// The endpoint descriptors that follow Interface, up to the next interface
// descriptor or the configuration's end. The configuration is well formed.
static FW_PAGEABLE_CODE ULONG FWCountEndpoints(PUSB_CONFIGURATION_DESCRIPTOR Descriptor,
                                               PUSB_INTERFACE_DESCRIPTOR Interface) {
  FW_PAGED_CODE();
  PUCHAR end = (PUCHAR)Descriptor + Descriptor->wTotalLength;
  PUCHAR at = (PUCHAR)Interface + Interface->bLength;
  ULONG endpoints = 0;
  while (at < end && at[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    if (at[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      ++endpoints;
    }
    at += at[0];
  }
  return endpoints;
}

// Reads configuration descriptor 0 whole. The device's word is not taken for
// it: the total length must cover the descriptor's own header, the second
// read must deliver the whole of it with the same total length, and the
// descriptors in it must be well formed. On success *Descriptor is non-paged
// pool that the caller owns.
static FW_PAGEABLE_CODE NTSTATUS FWReadConfiguration(PDEVICE_OBJECT DeviceObject,
                                                     PUSB_CONFIGURATION_DESCRIPTOR* Descriptor) {
  FW_PAGED_CODE();
  USB_CONFIGURATION_DESCRIPTOR head;
  RtlZeroMemory(&head, sizeof(head));
  PUSB_CONFIGURATION_DESCRIPTOR descriptor = NULL;

  NTSTATUS status = FWGetDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head,
                                    sizeof(head), NULL);
  if (NT_SUCCESS(status) && head.wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    status = STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("QUILLDEV - Error %X trying to read configuration descriptor 1\n", status);
  } else {
    ULONG totalLength = head.wTotalLength;
    descriptor = (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, totalLength,
                                                                      FW_POOL_TAG);
    if (descriptor == NULL) {
      DbgPrint("QUILLDEV - Unable to allocate %X bytes for configuration descriptor\n",
               totalLength);
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ULONG moved = 0;
      status = FWGetDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, descriptor,
                               totalLength, &moved);
      if (NT_SUCCESS(status) && (moved < totalLength || descriptor->wTotalLength != totalLength ||
                                 !FWConfigurationIsWellFormed(descriptor))) {
        status = STATUS_DEVICE_CONFIGURATION_ERROR;
      }
      if (!NT_SUCCESS(status)) {
        DbgPrint("QUILLDEV - Error %X trying to read configuration descriptor 1\n", status);
        ExFreePool(descriptor);
        descriptor = NULL;
      }
    }
  }
  *Descriptor = descriptor;
  return status;
}

// Selects the configuration with its first interface and picks the pipes.
// Takes ownership of Descriptor: kept in the extension on success, released
// on failure.
static FW_PAGEABLE_CODE NTSTATUS FWSelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                                       PUSB_CONFIGURATION_DESCRIPTOR Descriptor) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  NTSTATUS status;

  FWTraceString(DeviceObject, Descriptor->iConfiguration,
                "QUILLDEV - Selecting configuration named %ws\n");

  // With every criterion -1 this is the configuration's first interface.
  // What the device describes is checked, never asserted: a malformed
  // device fails its start.
  PUSB_INTERFACE_DESCRIPTOR pid =
      USBD_ParseConfigurationDescriptorEx(Descriptor, Descriptor, -1, -1, -1, -1, -1);
  if (pid == NULL) {
    DbgPrint("QUILLDEV - Configuration 1 has no interface\n");
    status = STATUS_DEVICE_CONFIGURATION_ERROR;
  } else {
    FWTraceString(DeviceObject, pid->iInterface, "QUILLDEV - Selecting interface named %ws\n");

    // Endpoints as many as the interface announces, and at least two.
    ULONG endpoints = FWCountEndpoints(Descriptor, pid);
    if (endpoints > pid->bNumEndpoints) {
      endpoints = pid->bNumEndpoints;
    }
    USBD_INTERFACE_LIST_ENTRY interfaces[2];
    interfaces[0].InterfaceDescriptor = pid;
    interfaces[0].Interface = NULL;
    interfaces[1].InterfaceDescriptor = NULL;
    interfaces[1].Interface = NULL;
    PURB urb = NULL;
    if (endpoints == pid->bNumEndpoints) {
      urb = USBD_CreateConfigurationRequestEx(Descriptor, interfaces);
    }

    if (endpoints < 2) {
      DbgPrint("QUILLDEV - %d is the wrong number of endpoints\n", endpoints);
      status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else if (endpoints != pid->bNumEndpoints) {
      DbgPrint("QUILLDEV - %d is the wrong number of endpoints\n", pid->bNumEndpoints);
      status = STATUS_DEVICE_CONFIGURATION_ERROR;
    } else if (urb == NULL) {
      DbgPrint("QUILLDEV - Unable to create configuration request\n");
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      PUSBD_INTERFACE_INFORMATION pii = &urb->UrbSelectConfiguration.Interface;
      // The library sized the interface information from bNumEndpoints.
      FW_ASSERT(pii->NumberOfPipes == pid->bNumEndpoints);
      PUSBD_PIPE_INFORMATION pipes = pii->Pipes;
      // The first two pipes carry the pieces of a transfer; further pipes keep
      // the library's value.
      for (ULONG i = 0; i < 2 && i < pii->NumberOfPipes; ++i) {
        pipes[i].MaximumTransferSize = FW_PIECE_SIZE;
      }

      status = FWSubmitUrbSynch(DeviceObject, urb);
      if (!NT_SUCCESS(status)) {
        DbgPrint("QUILLDEV - Error %X trying to select configuration\n", status);
      } else {
        extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
        extension->InPipe = NULL;
        extension->OutPipe = NULL;
        // The first IN endpoint reads and the first OUT endpoint writes. A
        // direction without an endpoint keeps no pipe, so its requests fail
        // rather than travel the other way.
        for (ULONG i = 0; i < pii->NumberOfPipes; ++i) {
          if (USB_ENDPOINT_DIRECTION_IN(pipes[i].EndpointAddress)) {
            if (extension->InPipe == NULL) {
              extension->InPipe = pipes[i].PipeHandle;
            }
          } else if (extension->OutPipe == NULL) {
            extension->OutPipe = pipes[i].PipeHandle;
          }
        }
        // A start without a stop before it replaces what the last one kept.
        if (extension->ConfigDescriptor != NULL) {
          ExFreePool(extension->ConfigDescriptor);
        }
        extension->ConfigDescriptor = Descriptor;
      }
    }
    if (urb != NULL) {
      ExFreePool(urb);
    }
  }

  if (!NT_SUCCESS(status)) {
    ExFreePool(Descriptor);
  }
  return status;
}

FW_PAGEABLE_CODE NTSTATUS FWConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);

  NTSTATUS status =
      FWGetDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &extension->DeviceDescriptor,
                      sizeof(USB_DEVICE_DESCRIPTOR), NULL);
  if (!NT_SUCCESS(status)) {
    DbgPrint("QUILLDEV - Error %X trying to read device descriptor\n", status);
  } else {
    FWTraceString(DeviceObject, extension->DeviceDescriptor.iManufacturer,
                  "QUILLDEV - Configuring device from %ws\n");
    FWTraceString(DeviceObject, extension->DeviceDescriptor.iProduct,
                  "QUILLDEV - Product is %ws\n");
    FWTraceString(DeviceObject, extension->DeviceDescriptor.iSerialNumber,
                  "QUILLDEV - Serial number is %ws\n");

    PUSB_CONFIGURATION_DESCRIPTOR descriptor;
    status = FWReadConfiguration(DeviceObject, &descriptor);
    if (NT_SUCCESS(status)) {
      status = FWSelectConfiguration(DeviceObject, descriptor);
    }
  }
  return status;
}

FW_PAGEABLE_CODE VOID FWDeconfigureDevice(PDEVICE_OBJECT DeviceObject, BOOLEAN Send) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);

  if (Send) {
    // Selecting no configuration puts the device back to unconfigured.
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), NULL);
    NTSTATUS status = FWSubmitUrbSynch(DeviceObject, &urb);
    if (!NT_SUCCESS(status)) {
      // The stop goes on regardless.
      DbgPrint("QUILLDEV - Error %X trying to deconfigure device\n", status);
    }
  }

  // Pipes, configuration handle and language stay as they are.
  if (extension->ConfigDescriptor != NULL) {
    ExFreePool(extension->ConfigDescriptor);
    extension->ConfigDescriptor = NULL;
  }
}

// ---------------------------------------------------------------------------
// The transfer

// Puts the URB of Context into Irp's next stack location, with
// OnWriteComplete to follow whatever the outcome.
static VOID FWPrepareTransferIrp(PIRP Irp, TransferContext* Context) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = &Context->Urb;
  IoSetCompletionRoutine(Irp, OnWriteComplete, Context, TRUE, TRUE, TRUE);
}

// Sends the payload through the pipe in pieces of at most FW_PIECE_SIZE
// bytes, one at a time on one IRP and URB, and waits until the last has
// completed. The request's status is that of the first failing piece, or
// success. Everything the transfer allocates is released before it returns.
NTSTATUS FWWriteFWToDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN In) {
  FW_PAGED_CODE();
  PDEVICE_EXTENSION extension = FwExtension(DeviceObject);
  USBD_PIPE_HANDLE pipe = In ? extension->InPipe : extension->OutPipe;
  PLONG errors = In ? &extension->InErrors : &extension->OutErrors;
  PIRP transferIrp = NULL;
  TransferContext* context = NULL;
  PMDL partialMdl = NULL;
  BOOLEAN waited = FALSE;
  NTSTATUS status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;

  // The transfer keeps the device below it started on, even if removal
  // clears LowerDeviceObject meanwhile.
  PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
  if (lowerDeviceObject == NULL || FwRemovalStarted(extension)) {
    status = STATUS_DELETE_PENDING;
  }

  if (NT_SUCCESS(status)) {
    transferIrp = IoAllocateIrp(lowerDeviceObject->StackSize, FALSE);
    if (transferIrp == NULL) {
      DbgPrint("QUILLDEVFailed to allocate IRP to send File to USB Device\n");
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  // A failed transfer leaves its direction's pipe owed a reset. A reset that
  // fails leaves the endpoint halted, so the reset stays owed to the next
  // transfer, which would otherwise fail on the halted endpoint.
  if (NT_SUCCESS(status) && InterlockedExchange(errors, 0) != 0) {
    if (!NT_SUCCESS(FWResetPipe(DeviceObject, pipe))) {
      InterlockedIncrement(errors);
      status = STATUS_UNSUCCESSFUL;
    }
  }

  if (NT_SUCCESS(status)) {
    context =
        (TransferContext*)ExAllocatePoolWithTag(NonPagedPool, sizeof(TransferContext), FW_POOL_TAG);
    if (context == NULL) {
      DbgPrint("QUILLDEV - Can't allocate memory for context structure\n");
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      RtlZeroMemory(context, sizeof(TransferContext));
    }
  }

  // An MDL describes at least one byte: an empty payload travels as a
  // zero-length transfer with neither buffer nor MDL.
  if (NT_SUCCESS(status) && extension->RequestLength != 0) {
    // The payload lies in the request's system buffer, which is non-paged:
    // described in place, nothing copied, nothing probed or locked.
    extension->RequestMdl =
        IoAllocateMdl(extension->RequestData, extension->RequestLength, FALSE, FALSE, NULL);
    if (extension->RequestMdl != NULL) {
      MmBuildMdlForNonPagedPool(extension->RequestMdl);
      // Sized for the largest piece, so that it can describe any of them.
      partialMdl = IoAllocateMdl(extension->RequestData, FW_PIECE_SIZE, FALSE, FALSE, NULL);
    }
    if (partialMdl == NULL) {
      DbgPrint("QUILLDEV - Can't allocate memory for MDL\n");
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  if (NT_SUCCESS(status)) {
    ULONG length = extension->RequestLength;
    PUCHAR start = extension->RequestData;
    ULONG flags =
        In ? (USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN) : USBD_SHORT_TRANSFER_OK;
    ULONG pieceLength = length < FW_PIECE_SIZE ? length : FW_PIECE_SIZE;

    if (partialMdl != NULL) {
      IoBuildPartialMdl(extension->RequestMdl, partialMdl, start, pieceLength);
    }
    UsbBuildInterruptOrBulkTransferRequest(&context->Urb,
                                           sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           NULL, partialMdl, pieceLength, flags, NULL);
    context->NextAddress = start + pieceLength;
    context->Remaining = length - pieceLength;
    context->PartialMdl = partialMdl;
    context->SourceMdl = extension->RequestMdl;
    context->Transferred = 0;
    context->Extension = extension;
    context->LowerDevice = lowerDeviceObject;
    KeInitializeEvent(&context->Done, NotificationEvent, FALSE);

    FWPrepareTransferIrp(transferIrp, context);
    // Published for FWCancelTransfer: a power-down, stop or removal cancels
    // a transfer that the device does not finish.
    KeWaitForSingleObject(&extension->CancelLock, Executive, KernelMode, FALSE, NULL);
    extension->TransferIrp = transferIrp;
    KeSetEvent(&extension->CancelLock, IO_NO_INCREMENT, FALSE);
    status = IoCallDriver(lowerDeviceObject, transferIrp);

    // A failure returned at once has already been through OnWriteComplete
    // (the IRP was completed), which counted it and signalled Done. If the
    // reset after it fails as well, the submission's status stands.
    if (NT_SUCCESS(status) || NT_SUCCESS(FWResetPipe(DeviceObject, pipe))) {
      DbgPrint("QUILLDEVWaiting for FW Transfter to complete\n");
      KeWaitForSingleObject(&context->Done, Executive, KernelMode, FALSE, NULL);
      waited = TRUE;
      status = transferIrp->IoStatus.Status;

      if (In && NT_SUCCESS(status)) {
        // The read hands back an envelope whose count is what arrived.
        ULONG received = (ULONG)transferIrp->IoStatus.Information;
        if (received > length) {
          received = length;
        }
        ((TransferRequest*)Irp->AssociatedIrp.SystemBuffer)->Count = received;
        Irp->IoStatus.Information = FIELD_OFFSET(TransferRequest, Data) + received;
      }
    }
  }

  if (transferIrp != NULL) {
    // Withdrawn first: no canceller is inside IoCancelIrp with it then.
    KeWaitForSingleObject(&extension->CancelLock, Executive, KernelMode, FALSE, NULL);
    extension->TransferIrp = NULL;
    KeSetEvent(&extension->CancelLock, IO_NO_INCREMENT, FALSE);
    IoFreeIrp(transferIrp);
  }
  if (partialMdl != NULL) {
    IoFreeMdl(partialMdl);
  }
  if (extension->RequestMdl != NULL) {
    IoFreeMdl(extension->RequestMdl);
    extension->RequestMdl = NULL;
  }
  if (context != NULL) {
    ExFreePool(context);
  }

  if (waited) {
    DbgPrint("QUILLDEVFW Transfter complete, Exiting FWWriteFWToDevice()\n");
  }
  return status;
}

// Runs after each piece, at up to DISPATCH_LEVEL: sends the next piece on the
// same IRP and URB, or ends the transfer. The IRP stays with
// FWWriteFWToDevice, which frees it.
NTSTATUS NTAPI OnWriteComplete(PDEVICE_OBJECT /*DeviceObject*/, PIRP Irp, PVOID Context) {
  TransferContext* context = (TransferContext*)Context;
  PDEVICE_EXTENSION extension = context->Extension;
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &context->Urb.UrbBulkOrInterruptTransfer;
  // The bus driver sets the direction flag from the endpoint: a failure is
  // counted for the direction the transfer really took, whose pipe the next
  // transfer that way owes a reset.
  BOOLEAN in = (transfer->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;

  // The bus driver reports the bytes this piece actually moved.
  context->Transferred += transfer->TransferBufferLength;
  if (USBD_ERROR(context->Urb.UrbHeader.Status)) {
    DbgPrint("OnWriteComplete -  Write failed with USBD status %X\n",
             context->Urb.UrbHeader.Status);
  }

  NTSTATUS status = Irp->IoStatus.Status;
  BOOLEAN ended = TRUE;

  if (NT_SUCCESS(status) && context->Remaining != 0) {
    if (FwRemovalStarted(extension)) {
      // The device is going away: no further piece.
      status = STATUS_DELETE_PENDING;
      Irp->IoStatus.Status = status;
    } else if (Irp->Cancel) {
      // Cancelled between two pieces (FWCancelTransfer): no further piece.
      status = STATUS_CANCELLED;
      Irp->IoStatus.Status = status;
    } else {
      ULONG pieceLength = context->Remaining < FW_PIECE_SIZE ? context->Remaining : FW_PIECE_SIZE;
      IoBuildPartialMdl(context->SourceMdl, context->PartialMdl, context->NextAddress, pieceLength);
      transfer->TransferBufferLength = pieceLength;
      FWPrepareTransferIrp(Irp, context);
      context->NextAddress += pieceLength;
      context->Remaining -= pieceLength;
      // Whatever happens to this piece arrives here again.
      IoCallDriver(context->LowerDevice, Irp);
      ended = FALSE;
    }
  }

  if (ended) {
    if (NT_SUCCESS(status)) {
      Irp->IoStatus.Information = context->Transferred;
    } else {
      InterlockedIncrement(in ? &extension->InErrors : &extension->OutErrors);
      DbgPrint("OnWriteComplete: Write finished with error %X\n", status);
    }
    KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
