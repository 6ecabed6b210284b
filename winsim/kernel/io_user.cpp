// winsim: the user-mode entry to I/O (what kernel32's CreateFile,
// DeviceIoControl and CloseHandle use), and IRPs that winsim sends itself.
#include "ground/ground.h"
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

// Sends an I/O-manager IRP to the top of device's stack and waits for it.
// setup(irp, next) fills it in; a template, as a std::function of the
// callers' captures would be a host allocation per request.
template <typename Setup>
NTSTATUS SendAndWait(PDEVICE_OBJECT device, const Setup& setup, IO_STATUS_BLOCK* result,
                     const char* what) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK final{};
  PDEVICE_OBJECT top = TopOfStack(device);
  PIRP irp = AllocateIoManagerIrp(top->StackSize, [&](PIRP finished) {
    final = finished->IoStatus;
    FreeIoManagerIrp(finished);
    KeSetEvent(&done, 0, FALSE);
  });
  setup(irp, IoGetNextIrpStackLocation(irp));
  if (IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
    CallPowerDriver(top, irp);
  } else {
    IofCallDriver(top, irp);
  }
  if (!KeReadStateEvent(&done)) {
    RoutineScope scope(nullptr, what);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  if (result) *result = final;
  return final.Status;
}

FileRecord* FindFile(PFILE_OBJECT file) {
  auto& files = State().files;
  auto found = files.find(file);
  return found == files.end() ? nullptr : &found->second;
}

std::u16string ObjectName(std::string_view path) {
  // "\\.\X" and "\\?\X" both name \DosDevices\X (the same directory as \??).
  if (path.starts_with("\\\\.\\") || path.starts_with("\\\\?\\")) {
    return u"\\DosDevices\\" + Widen(path.substr(4));
  }
  return Widen(path);
}

// The I/O manager's IRP for a user-mode request could not be allocated. A
// close never fails for want of one: Windows keeps a reserve for it.
bool RequestIrpFails() {
  return Ground::Current().Faults().ShouldFail(AllocationKind::UserRequest);
}

// The physical device object at the bottom of device's stack.
PDEVICE_OBJECT BottomOfStack(PDEVICE_OBJECT device) {
  for (;;) {
    auto found = State().devices.find(device);
    if (found == State().devices.end() || !found->second->lower) return device;
    device = found->second->lower;
  }
}

// The device that path names once its stack has started (nullptr when
// nothing has the name, also after a failed start removed it).
PDEVICE_OBJECT LookupStartedDevice(std::string_view path) {
  KernelState& state = State();
  for (;;) {
    PDEVICE_OBJECT device = LookupDevice(ObjectName(path));
    if (!device || !state.startingStacks.contains(BottomOfStack(device))) return device;
    RoutineScope scope(nullptr, "UserOpen");
    Ground::Current().Sched().WaitOn(&state.startingStacks, -1, "UserOpen: the device's start");
  }
}

}  // namespace

void SetStackStarting(PDEVICE_OBJECT physicalDevice, bool starting) {
  KernelState& state = State();
  if (starting) {
    state.startingStacks.insert(physicalDevice);
  } else if (state.startingStacks.erase(physicalDevice) > 0) {
    Ground::Current().Sched().Wake(&state.startingStacks);
  }
}

NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device, const std::function<void(PIO_STACK_LOCATION)>& setup,
                        ULONG_PTR* information) {
  IO_STATUS_BLOCK result{};
  const NTSTATUS status = SendAndWait(
      device,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        setup(next);
      },
      &result, "SendIrpAndWait");
  if (information) *information = result.Information;
  return status;
}

void RestrictToAdministrators(std::u16string name) {
  State().administratorsOnly.push_back(std::move(name));
}

NTSTATUS UserOpen(std::string_view path, PFILE_OBJECT* file) {
  Scheduler::KernelEntry systemCall;
  SwitchPoint("a user-mode open");
  *file = nullptr;
  PDEVICE_OBJECT device = LookupStartedDevice(path);
  if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
  DeviceRecord& record = *State().devices.at(device);
  // The I/O manager checks no share access for devices; only an exclusive
  // device refuses a second open.
  if ((device->Flags & DO_EXCLUSIVE) && record.openFiles > 0) return STATUS_ACCESS_DENIED;
  if (!Ground::Current().Config().administrator) {
    for (const std::u16string& name : State().administratorsOnly) {
      if (LookupDevice(name) == device) return STATUS_ACCESS_DENIED;
    }
  }
  if (RequestIrpFails()) return STATUS_INSUFFICIENT_RESOURCES;
  FileRecord fileRecord;
  fileRecord.object = std::make_unique<FILE_OBJECT>();
  fileRecord.named = device;
  PFILE_OBJECT object = fileRecord.object.get();
  object->Type = 5;
  object->Size = sizeof(FILE_OBJECT);
  object->DeviceObject = device;
  State().files.emplace(object, std::move(fileRecord));
  ++record.openFiles;
  const NTSTATUS status = SendAndWait(
      device,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->Tail.Overlay.OriginalFileObject = object;
        irp->RequestorMode = UserMode;
        next->MajorFunction = IRP_MJ_CREATE;
        next->FileObject = object;
      },
      nullptr, "UserOpen");
  if (!NT_SUCCESS(status)) {
    State().files.erase(object);
    ReleaseDeviceReference(device);
    return status;
  }
  *file = object;
  return status;
}

NTSTATUS UserDeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength, ULONG* returned) {
  Scheduler::KernelEntry systemCall;
  SwitchPoint("a user-mode device control");
  if (returned) *returned = 0;
  FileRecord* record = FindFile(file);
  if (!record) return STATUS_INVALID_HANDLE;
  if (RequestIrpFails()) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
  // METHOD_BUFFERED: a non-paged system buffer of the larger length, not
  // zeroed. The direct methods are served the same way here (winsim builds
  // no MDL).
  std::vector<std::byte> systemBuffer;
  if (method != METHOD_NEITHER) systemBuffer = MakeSystemBuffer(input, inputLength, outputLength);
  IO_STATUS_BLOCK result{};
  const NTSTATUS status = SendAndWait(
      record->named,
      [&](PIRP irp, PIO_STACK_LOCATION next) {
        irp->Tail.Overlay.OriginalFileObject = file;
        irp->RequestorMode = UserMode;
        irp->UserBuffer = output;
        if (method == METHOD_NEITHER) {
          next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        } else {
          irp->AssociatedIrp.SystemBuffer = systemBuffer.empty() ? nullptr : systemBuffer.data();
        }
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        next->FileObject = file;
        next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      },
      &result, "UserDeviceIoControl");
  ULONG_PTR information = NT_ERROR(status) ? 0 : result.Information;
  if (method != METHOD_NEITHER && information > outputLength) {
    Verify().Report(rule::kInformationTooLarge,
                    DriverName(TopOfStack(record->named)->DriverObject) + "!IRP_MJ_DEVICE_CONTROL",
                    "Information " + std::to_string(information) + " exceeds the output length " +
                        std::to_string(outputLength) + " of control code " + Hex(ioControlCode));
    information = outputLength;
  }
  if (method != METHOD_NEITHER && information && output) {
    const PDEVICE_OBJECT top = TopOfStack(record->named);
    CheckSystemBufferWritten(
        systemBuffer, inputLength, information,
        [top] { return DriverName(top->DriverObject) + "!IRP_MJ_DEVICE_CONTROL"; }, ioControlCode);
    memcpy(output, systemBuffer.data(), information);
  }
  if (returned) *returned = static_cast<ULONG>(information);
  return status;
}

NTSTATUS UserClose(PFILE_OBJECT file) {
  Scheduler::KernelEntry systemCall;
  SwitchPoint("a user-mode close");
  FileRecord* record = FindFile(file);
  if (!record) return STATUS_INVALID_HANDLE;
  PDEVICE_OBJECT device = record->named;
  for (UCHAR major : {UCHAR(IRP_MJ_CLEANUP), UCHAR(IRP_MJ_CLOSE)}) {
    // As on Windows, the cleanup's status (and the close's) is not reported.
    SendAndWait(
        device,
        [&](PIRP irp, PIO_STACK_LOCATION next) {
          irp->Tail.Overlay.OriginalFileObject = file;
          next->MajorFunction = major;
          next->FileObject = file;
        },
        nullptr, "UserClose");
  }
  State().files.erase(file);
  ReleaseDeviceReference(device);
  // Copied: an observer may add another.
  const auto observers = State().fileClosedObservers;
  for (const auto& observer : observers) observer(file);
  return STATUS_SUCCESS;
}

std::vector<PFILE_OBJECT> OpenFiles(PDEVICE_OBJECT device) {
  std::vector<PFILE_OBJECT> open;
  for (const auto& [file, record] : State().files) {
    if (record.named == device) open.push_back(file);
  }
  return open;
}

void AddFileClosedObserver(std::function<void(PFILE_OBJECT closed)> observer) {
  State().fileClosedObservers.push_back(std::move(observer));
}

}  // namespace winsim::kernel
