// winsim: kernel events, waits, delays and the clock.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

using winsim::Ground;
using winsim::VirtualTime;
using winsim::kernel::CurrentPlace;
using winsim::kernel::Hex;
using winsim::kernel::SwitchPoint;
using winsim::kernel::Verify;

namespace {

// Windows' time-outs: negative is relative, positive absolute, in 100 ns.
VirtualTime Deadline(PLARGE_INTEGER timeout) {
  if (!timeout) return -1;
  const VirtualTime now = Ground::Current().Sched().Now();
  return timeout->QuadPart < 0 ? now - timeout->QuadPart : timeout->QuadPart;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  SwitchPoint("KeSetEvent");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "KeSetEvent above DISPATCH_LEVEL");
  }
  const LONG previous = Event->Header.SignalState;
  auto& scheduler = Ground::Current().Sched();
  if (Event->Header.Type == SynchronizationEvent) {
    // The signal goes to one waiter, or stays until one comes.
    Event->Header.SignalState = scheduler.Wake(Event, 1) ? 0 : 1;
  } else {
    Event->Header.SignalState = 1;
    scheduler.Wake(Event);
  }
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  SwitchPoint("KeClearEvent");
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  SwitchPoint("KeResetEvent");
  const LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  SwitchPoint("KeReadStateEvent");
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
  SwitchPoint("KeWaitForSingleObject");
  auto* event = static_cast<PRKEVENT>(Object);
  const bool polls = Timeout && Timeout->QuadPart == 0;
  if (!polls && KeGetCurrentIrql() > APC_LEVEL) {
    Verify().Report(
        winsim::rule::kIrql, CurrentPlace(),
        "KeWaitForSingleObject with a time-out at IRQL " + std::to_string(KeGetCurrentIrql()));
  }
  if (event->Header.SignalState) {
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
  }
  if (polls) return STATUS_TIMEOUT;
  std::string where =
      "KeWaitForSingleObject(event " + Hex(reinterpret_cast<uintptr_t>(Object), 0) + ")";
  if (const std::string place = CurrentPlace(); !place.empty()) where += " in " + place;
  const bool woken = Ground::Current().Sched().WaitOn(Object, Deadline(Timeout), where);
  return woken ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (KeGetCurrentIrql() > APC_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "KeDelayExecutionThread above APC_LEVEL");
  }
  Ground::Current().Sched().SleepUntil(Deadline(Interval));
  return STATUS_SUCCESS;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  Ground::Current().Sched().Advance(VirtualTime(MicroSeconds) * 10);
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = Ground::Current().Sched().Now();
}

}  // extern "C"
