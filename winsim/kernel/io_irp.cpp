// winsim: IRPs: allocation, IoCallDriver, IoCompleteRequest with the
// documented completion-routine rules, threaded device-control IRPs,
// cancellation, and the verifier's IRP rules.
#include "ground/event_recording.h"
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

constexpr CSHORT kIrpType = 6;

std::shared_ptr<IrpRecord> FindIrp(PIRP irp) {
  auto& irps = State().irps;
  auto found = irps.find(irp);
  return found == irps.end() ? nullptr : found->second;
}

bool Alive(PIRP irp, const std::shared_ptr<IrpRecord>& record) {
  auto& irps = State().irps;
  auto found = irps.find(irp);
  return found != irps.end() && found->second == record;
}

PIO_STACK_LOCATION StackLocationAt(PIRP irp, int level) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}

std::string IrpPlace(PIRP irp, const std::shared_ptr<IrpRecord>& record) {
  std::string place = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp), 0);
  if (record) place += " (" + MajorName(record->major) + ")";
  const std::string routine = CurrentPlace();
  return routine.empty() ? place : routine + ", " + place;
}

PIRP AllocateIrpStorage(CCHAR stackSize, bool driverAllocated) {
  auto record = std::make_shared<IrpRecord>();
  const size_t count = static_cast<unsigned char>(stackSize);
  const size_t bytes = sizeof(IRP) + count * sizeof(IO_STACK_LOCATION);
  record->storage = std::make_unique<std::byte[]>(bytes);
  auto* irp = reinterpret_cast<PIRP>(record->storage.get());
  irp->Type = kIrpType;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + count;
  record->driverAllocated = driverAllocated;
  record->owner = CurrentDriver();
  record->place = CurrentPlace();
  State().irps.emplace(irp, std::move(record));
  return irp;
}

// The calls at level that completion has not passed yet: the dispatch
// routine that holds the IRP there, and one below it that reuses its
// location after IoSkipCurrentIrpStackLocation. A call whose IRP already
// came back (and was sent again by a completion routine) is not among them.
template <typename Action>
void ForOpenCallsAt(IrpRecord& record, int level, Action action) {
  for (DispatchCall* call : record.calls) {
    if (call->level == level && !call->passed) action(*call);
  }
}

void LogCompletion(PIRP irp, const IrpRecord& record) {
  if (!EventRecording()) return;
  Log().Add(EventKind::IrpCompleted, MajorName(record.major),
            {{"irp", Hex(reinterpret_cast<uintptr_t>(irp), 0)},
             {"major", MajorName(record.major)},
             {"minor", Hex(record.minor, 2)},
             {"ioctl", Hex(record.ioctl)},
             {"status", StatusText(irp->IoStatus.Status)},
             {"information", std::to_string(irp->IoStatus.Information)}});
}

// The heap's "uninitialised" fill on Windows, repeated from the buffer's
// start so that every offset has a known value.
constexpr std::byte kSystemBufferPoison[] = {std::byte{0xBA}, std::byte{0xAD}, std::byte{0xF0},
                                             std::byte{0x0D}};

std::byte PoisonAt(size_t offset) {
  return kSystemBufferPoison[offset % std::size(kSystemBufferPoison)];
}

}  // namespace

std::vector<std::byte> MakeSystemBuffer(const void* input, ULONG inputLength, ULONG outputLength) {
  std::vector<std::byte> buffer(std::max(inputLength, outputLength));
  // The pattern, then what is filled so far copied after itself: a few
  // copies instead of a store per byte (the buffers of a topology walk are
  // kilobytes, and a walk sends hundreds of them).
  const size_t size = buffer.size();
  size_t filled = std::min(size, std::size(kSystemBufferPoison));
  if (filled > 0) memcpy(buffer.data(), kSystemBufferPoison, filled);
  while (filled < size) {
    const size_t more = std::min(filled, size - filled);
    memcpy(buffer.data() + filled, buffer.data(), more);
    filled += more;
  }
  if (input && inputLength) memcpy(buffer.data(), input, inputLength);
  return buffer;
}

void CheckSystemBufferWritten(const std::vector<std::byte>& buffer, ULONG inputLength,
                              ULONG_PTR information, const std::function<std::string()>& place,
                              ULONG ioControlCode) {
  const size_t end = std::min<size_t>(information, buffer.size());
  // A stretch of four (or all of a shorter tail) still poisoned: written
  // bytes rarely repeat the pattern that long by chance.
  const size_t tail = end > inputLength ? end - inputLength : 0;
  const size_t enough = std::min<size_t>(tail, std::size(kSystemBufferPoison));
  size_t run = 0;
  for (size_t i = inputLength; i < end; ++i) {
    run = buffer[i] == PoisonAt(i) ? run + 1 : 0;
    if (enough > 0 && run >= enough) {
      Verify().Report(rule::kSystemBufferUnwritten, place(),
                      "Information " + std::to_string(information) + " of control code " +
                          Hex(ioControlCode) + " returns bytes from offset " +
                          std::to_string(i + 1 - run) +
                          " that the driver never wrote (the input ends at " +
                          std::to_string(inputLength) + ")");
      return;
    }
  }
}

PIRP AllocateIoManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onFinished) {
  PIRP irp = AllocateIrpStorage(stackSize, false);
  State().irps[irp]->onFinished = std::move(onFinished);
  return irp;
}

void FreeIoManagerIrp(PIRP irp) {
  PowerIrpFinished(irp);
  State().irps.erase(irp);
  State().freedIrps.Add(irp);
}

void CheckIrpsAndMdlsAtUnload(PDRIVER_OBJECT driver) {
  for (const auto& [irp, record] : State().irps) {
    if (record->driverAllocated && record->owner == driver) {
      Verify().Report(rule::kIrpLeak, record->place.empty() ? DriverName(driver) : record->place,
                      "IRP " + Hex(reinterpret_cast<uintptr_t>(irp), 0) + " not freed by unload");
    }
  }
  for (const auto& [mdl, record] : State().mdls) {
    if (record.owner == driver) {
      Verify().Report(rule::kMdlLeak, record.place.empty() ? DriverName(driver) : record.place,
                      "MDL " + Hex(reinterpret_cast<uintptr_t>(mdl), 0) + " not freed by unload");
    }
  }
}

NTSTATUS CallDispatch(PDEVICE_OBJECT device, PIRP irp) {
  std::shared_ptr<IrpRecord> record = FindIrp(irp);
  const int level = irp->CurrentLocation;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = stack->MajorFunction;
  PDRIVER_OBJECT driver = device->DriverObject;
  DispatchCall call;
  call.level = level;
  if (record) {
    record->held = true;
    record->calls.push_back(&call);
  }
  const KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) {
    Verify().Report(rule::kIrql, IrpPlace(irp, record), "IRP sent above DISPATCH_LEVEL");
  }
  NTSTATUS status;
  {
    RoutineScope scope(driver, MajorName(major));
    status = driver->MajorFunction[major](device, irp);
  }
  // Built only for a verdict: every request passes here.
  const auto place = [&] { return DriverName(driver) + "!" + MajorName(major); };
  if (KeGetCurrentIrql() != irql) {
    Verify().Report(rule::kIrql, place(),
                    "dispatch routine returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                        ", entered at " + std::to_string(irql));
  }
  if (!record) return status;
  std::erase(record->calls, &call);
  const bool alive = Alive(irp, record);
  const bool completed = call.passed;
  // The mark counts at the dispatching driver's own location (shared with
  // the driver below only after IoSkipCurrentIrpStackLocation).
  const bool marked = call.marked || (alive && !completed &&
                                      (StackLocationAt(irp, level)->Control & SL_PENDING_RETURNED));
  if (status == STATUS_PENDING && !marked && alive && !completed) {
    // Still below: its completion routine may yet mark the location.
    record->pendingVerdicts.push_back({level, place()});
  } else if (status == STATUS_PENDING && !marked) {
    Verify().Report(rule::kPendingNotMarked, place(),
                    "returned STATUS_PENDING without IoMarkIrpPending");
  } else if (status != STATUS_PENDING && marked) {
    Verify().Report(rule::kMarkedNotPending, place(),
                    "marked the IRP pending but returned " + StatusText(status));
  } else if (status != STATUS_PENDING && !completed) {
    Verify().Report(rule::kIrpLost, place(),
                    "returned " + StatusText(status) +
                        " without completing the IRP or returning STATUS_PENDING");
  } else if (status != STATUS_PENDING && status != call.statusWhenPassed) {
    Verify().Report(rule::kDispatchStatusMismatch, place(),
                    "returned " + StatusText(status) + " but completed the IRP with " +
                        StatusText(call.statusWhenPassed));
  }
  return status;
}

std::string MajorName(UCHAR major) {
  static const char* const names[] = {"IRP_MJ_CREATE",
                                      "IRP_MJ_CREATE_NAMED_PIPE",
                                      "IRP_MJ_CLOSE",
                                      "IRP_MJ_READ",
                                      "IRP_MJ_WRITE",
                                      "IRP_MJ_QUERY_INFORMATION",
                                      "IRP_MJ_SET_INFORMATION",
                                      "IRP_MJ_QUERY_EA",
                                      "IRP_MJ_SET_EA",
                                      "IRP_MJ_FLUSH_BUFFERS",
                                      "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                      "IRP_MJ_SET_VOLUME_INFORMATION",
                                      "IRP_MJ_DIRECTORY_CONTROL",
                                      "IRP_MJ_FILE_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CONTROL",
                                      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                      "IRP_MJ_SHUTDOWN",
                                      "IRP_MJ_LOCK_CONTROL",
                                      "IRP_MJ_CLEANUP",
                                      "IRP_MJ_CREATE_MAILSLOT",
                                      "IRP_MJ_QUERY_SECURITY",
                                      "IRP_MJ_SET_SECURITY",
                                      "IRP_MJ_POWER",
                                      "IRP_MJ_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CHANGE",
                                      "IRP_MJ_QUERY_QUOTA",
                                      "IRP_MJ_SET_QUOTA",
                                      "IRP_MJ_PNP"};
  return major <= IRP_MJ_MAXIMUM_FUNCTION ? names[major] : "IRP_MJ_" + Hex(major, 2);
}

std::string PnpMinorName(UCHAR minor) {
  static const char* const names[] = {"IRP_MN_START_DEVICE",
                                      "IRP_MN_QUERY_REMOVE_DEVICE",
                                      "IRP_MN_REMOVE_DEVICE",
                                      "IRP_MN_CANCEL_REMOVE_DEVICE",
                                      "IRP_MN_STOP_DEVICE",
                                      "IRP_MN_QUERY_STOP_DEVICE",
                                      "IRP_MN_CANCEL_STOP_DEVICE",
                                      "IRP_MN_QUERY_DEVICE_RELATIONS",
                                      "IRP_MN_QUERY_INTERFACE",
                                      "IRP_MN_QUERY_CAPABILITIES",
                                      "IRP_MN_QUERY_RESOURCES",
                                      "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                      "IRP_MN_QUERY_DEVICE_TEXT",
                                      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                      "IRP_MN_0E",
                                      "IRP_MN_READ_CONFIG",
                                      "IRP_MN_WRITE_CONFIG",
                                      "IRP_MN_EJECT",
                                      "IRP_MN_SET_LOCK",
                                      "IRP_MN_QUERY_ID",
                                      "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                      "IRP_MN_QUERY_BUS_INFORMATION",
                                      "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                      "IRP_MN_SURPRISE_REMOVAL"};
  return minor <= IRP_MN_SURPRISE_REMOVAL ? names[minor] : "IRP_MN_" + Hex(minor, 2);
}

}  // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "IoAllocateIrp above DISPATCH_LEVEL");
  }
  if (winsim::Ground::Current().Faults().ShouldFail(winsim::AllocationKind::Irp)) return nullptr;
  return AllocateIrpStorage(StackSize, true);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  KernelState& state = State();
  std::shared_ptr<winsim::IrpRecord> record = FindIrp(Irp);
  if (!record) {
    Verify().Report(winsim::rule::kIrpBadFree, CurrentPlace(),
                    "IoFreeIrp of " + Hex(reinterpret_cast<uintptr_t>(Irp), 0) +
                        (state.freedIrps.Contains(Irp) ? ", which was already freed"
                                                       : ", which is not an allocated IRP"));
    return;
  }
  if (!record->driverAllocated) {
    Verify().Report(winsim::rule::kIrpBadFree, IrpPlace(Irp, record),
                    "IoFreeIrp of an IRP the I/O manager owns");
    return;
  }
  if (record->inFlight) {
    Verify().Report(winsim::rule::kIrpBadFree, IrpPlace(Irp, record),
                    "IoFreeIrp while a driver below still holds it");
    // Driver Verifier stops the machine here; winsim keeps the IRP so that
    // the driver below does not complete freed memory.
    return;
  }
  state.irps.erase(Irp);
  state.freedIrps.Add(Irp);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  const CCHAR stackSize = Irp->StackCount;
  const UCHAR flags = Irp->AllocationFlags;
  memset(static_cast<void*>(Irp), 0,
         sizeof(IRP) + size_t(static_cast<unsigned char>(stackSize)) * sizeof(IO_STACK_LOCATION));
  Irp->Type = kIrpType;
  Irp->Size = static_cast<USHORT>(sizeof(IRP) + size_t(static_cast<unsigned char>(stackSize)) *
                                                    sizeof(IO_STACK_LOCATION));
  Irp->StackCount = stackSize;
  Irp->AllocationFlags = flags;
  Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + static_cast<unsigned char>(stackSize);
  Irp->IoStatus.Status = Iostatus;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  winsim::kernel::SwitchPoint("IoCallDriver");
  std::shared_ptr<winsim::IrpRecord> record = FindIrp(Irp);
  // An IRP in flight may only be passed on by the driver that holds it: at its
  // own stack location, or at the one above after IoSkipCurrentIrpStackLocation
  // (the lower driver then reuses the holder's location). Anyone else sending
  // it is a resend. A call from outside any driver routine (a worker or DPC
  // winsim does not attribute) is given the benefit of the doubt.
  const bool newSend = record && !record->inFlight;
  if (record && record->inFlight) {
    const bool atHolder = Irp->CurrentLocation == record->holderLevel ||
                          Irp->CurrentLocation == record->holderLevel + 1;
    PDEVICE_OBJECT holderDevice =
        atHolder && record->holderLevel >= 1 && record->holderLevel <= Irp->StackCount
            ? StackLocationAt(Irp, record->holderLevel)->DeviceObject
            : nullptr;
    PDRIVER_OBJECT caller = CurrentDriver();
    const bool byHolder =
        atHolder && (!caller || !holderDevice || holderDevice->DriverObject == caller);
    if (!byHolder) {
      Verify().Report(winsim::rule::kIrpResentInFlight, IrpPlace(Irp, record),
                      "IRP sent again while a lower driver still holds it");
      // Driver Verifier stops the machine here; winsim refuses the send so
      // that the submission already below is not corrupted.
      return STATUS_INVALID_DEVICE_STATE;
    }
  }
  if (Irp->CurrentLocation <= 1) {
    Verify().Report(winsim::rule::kStackOverflow, IrpPlace(Irp, record),
                    "IoCallDriver with no stack location left for the next driver");
    return STATUS_INVALID_PARAMETER;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (newSend) {
    record->inFlight = true;
    record->sendLevel = Irp->CurrentLocation;
    record->major = next->MajorFunction;
    record->minor = next->MinorFunction;
    record->ioctl = (next->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                     next->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                        ? next->Parameters.DeviceIoControl.IoControlCode
                        : 0;
  }
  if (winsim::EventRecording()) {
    Log().Add(winsim::EventKind::IrpSent, MajorName(next->MajorFunction),
              {{"irp", Hex(reinterpret_cast<uintptr_t>(Irp), 0)},
               {"driver", DriverName(DeviceObject->DriverObject)},
               {"major", MajorName(next->MajorFunction)},
               {"minor", Hex(next->MinorFunction, 2)},
               {"ioctl", (next->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                          next->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                             ? Hex(next->Parameters.DeviceIoControl.IoControlCode)
                             : Hex(0)}});
  }
  const bool lowerHasNoRoutine = next->CompletionRoutine == nullptr || next->Control == 0;
  const int upperLevel = Irp->CurrentLocation;
  IoSetNextIrpStackLocation(Irp);
  next->DeviceObject = DeviceObject;
  if (record) record->holderLevel = Irp->CurrentLocation;
  const NTSTATUS status = CallDispatch(DeviceObject, Irp);
  // With no completion routine of its own, a driver that returns the lower
  // driver's STATUS_PENDING is marked pending by the I/O manager.
  if (record && !newSend && status == STATUS_PENDING && lowerHasNoRoutine)
    ForOpenCallsAt(*record, upperLevel, [](DispatchCall& call) { call.marked = true; });
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
  winsim::kernel::SwitchPoint("IoCompleteRequest");
  std::shared_ptr<winsim::IrpRecord> record = FindIrp(Irp);
  if (!record && State().freedIrps.Contains(Irp)) {
    // Its first completion already finished (and freed) it.
    Verify().Report(winsim::rule::kIrpDoubleCompletion, IrpPlace(Irp, nullptr),
                    "IRP completed again after its completion had finished");
    return;
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    Verify().Report(winsim::rule::kIrql, IrpPlace(Irp, record),
                    "IoCompleteRequest above DISPATCH_LEVEL");
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    Verify().Report(winsim::rule::kIrpCompletedPending, IrpPlace(Irp, record),
                    "IRP completed with STATUS_PENDING");
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    Verify().Report(winsim::rule::kDriverIrpCompleted, IrpPlace(Irp, record),
                    "IoCompleteRequest on an IRP that no driver holds (its originator frees it "
                    "with IoFreeIrp)");
    return;
  }
  if (record) {
    if (!record->held) {
      Verify().Report(winsim::rule::kIrpDoubleCompletion, IrpPlace(Irp, record),
                      "IRP completed twice");
      return;
    }
    record->held = false;
  }
  for (;;) {
    const int level = Irp->CurrentLocation;
    if (level > Irp->StackCount) break;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    if (record) {
      std::erase_if(record->pendingVerdicts, [&](const IrpRecord::PendingVerdict& verdict) {
        if (verdict.level != level) return false;
        if (!Irp->PendingReturned) {
          Verify().Report(rule::kPendingNotMarked, verdict.place,
                          "returned STATUS_PENDING, but its location was not marked pending when "
                          "the IRP completed (a completion routine must propagate "
                          "PendingReturned with IoMarkIrpPending)");
        }
        return true;
      });
      ForOpenCallsAt(*record, level, [Irp](DispatchCall& call) {
        call.passed = true;
        call.marked = call.marked || Irp->PendingReturned;
        call.statusWhenPassed = Irp->IoStatus.Status;
      });
    }
    const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    const PVOID context = stack->Context;
    const UCHAR control = stack->Control;
    stack->Control = 0;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    IoSkipCurrentIrpStackLocation(Irp);
    const bool atTop = Irp->CurrentLocation > Irp->StackCount;
    if (record && record->inFlight && Irp->CurrentLocation >= record->sendLevel) {
      record->inFlight = false;
      LogCompletion(Irp, *record);
    } else if (record) {
      record->holderLevel = Irp->CurrentLocation;
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                    (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                    (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT upper = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      PDRIVER_OBJECT driver = upper ? upper->DriverObject : (record ? record->owner : nullptr);
      const KIRQL irql = KeGetCurrentIrql();
      NTSTATUS result;
      winsim::kernel::SwitchPoint("a completion routine");
      {
        RoutineScope scope(driver, "completion routine");
        result = routine(upper, Irp, context);
      }
      if (KeGetCurrentIrql() != irql) {
        Verify().Report(winsim::rule::kIrql, DriverName(driver) + "!completion routine",
                        "completion routine changed the IRQL");
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        if (record && !atTop && Alive(Irp, record)) record->held = true;
        return;
      }
      if (record && !Alive(Irp, record)) {
        Verify().Report(
            winsim::rule::kIrpBadFree, DriverName(driver) + "!completion routine",
            "completion routine freed the IRP but did not return STATUS_MORE_PROCESSING_REQUIRED");
        return;
      }
    } else if (Irp->PendingReturned && !atTop) {
      IoMarkIrpPending(Irp);
    }
  }
  if (!record) return;
  if (record->driverAllocated) {
    Verify().Report(
        winsim::rule::kDriverIrpCompleted, IrpPlace(Irp, record),
        "a driver-allocated IRP was completed to the I/O manager (its completion routine must "
        "return STATUS_MORE_PROCESSING_REQUIRED)");
    return;
  }
  if (record->onFinished) record->onFinished(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (winsim::Ground::Current().Faults().ShouldFail(winsim::AllocationKind::Irp)) return nullptr;
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  auto systemBuffer = std::make_shared<std::vector<std::byte>>();
  PIRP irp = AllocateIoManagerIrp(DeviceObject->StackSize, [=](PIRP done) {
    if (method != METHOD_NEITHER && !NT_ERROR(done->IoStatus.Status) && OutputBuffer) {
      ULONG_PTR copied = done->IoStatus.Information;
      if (copied > OutputBufferLength) {
        Verify().Report(winsim::rule::kInformationTooLarge,
                        "IRP " + Hex(reinterpret_cast<uintptr_t>(done), 0),
                        "Information " + std::to_string(copied) + " exceeds the output length " +
                            std::to_string(OutputBufferLength));
        copied = OutputBufferLength;
      }
      CheckSystemBufferWritten(
          *systemBuffer, InputBufferLength, copied,
          [done] { return "IRP " + Hex(reinterpret_cast<uintptr_t>(done), 0); }, IoControlCode);
      if (copied) memcpy(OutputBuffer, systemBuffer->data(), copied);
    }
    // As the I/O manager finishes a threaded IRP: one that failed at once,
    // never pended, leaves the status block and the event alone (its caller
    // has IoCallDriver's result); a caller that waits regardless hangs.
    if (!NT_ERROR(done->IoStatus.Status) || done->PendingReturned) {
      if (done->UserIosb) *done->UserIosb = done->IoStatus;
      if (done->UserEvent) KeSetEvent(done->UserEvent, 0, FALSE);
    }
    FreeIoManagerIrp(done);
  });
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_SUCCESS;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction =
      InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  } else {
    // METHOD_BUFFERED; the direct methods are served the same way here
    // (winsim knowingly builds no MDL for them).
    *systemBuffer = MakeSystemBuffer(InputBuffer, InputBufferLength, OutputBufferLength);
    irp->AssociatedIrp.SystemBuffer = systemBuffer->empty() ? nullptr : systemBuffer->data();
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  Irp->Cancel = TRUE;
  const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) return FALSE;
  IoAcquireCancelSpinLock(&Irp->CancelIrql);
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  KeRaiseIrql(DISPATCH_LEVEL, Irql);
  winsim::Scheduler::CountSpinLock(+1);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  winsim::Scheduler::CountSpinLock(-1);
  KeLowerIrql(Irql);
}

}  // extern "C"
