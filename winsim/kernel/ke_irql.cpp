// winsim: IRQL, spin locks, and the routine context used to name places.
#include <algorithm>
#include <cstdio>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim {

KernelState::KernelState() = default;
KernelState::~KernelState() = default;

void KernelState::OnRunEnded(bool hung) {
  dpcQueue.clear();
  dpcThreadRunning = false;
  if (hung) kernel::ReportPowerIrpsHeld();
}

namespace kernel {

namespace {
struct RoutineFrame {
  PDRIVER_OBJECT driver;
  std::string routine;
};
thread_local std::vector<RoutineFrame> tlsRoutines;
}  // namespace

KernelState& State() { return Ground::Current().Kernel(); }
Verifier& Verify() { return Ground::Current().Verify(); }
EventLog& Log() { return Ground::Current().Log(); }

PDRIVER_OBJECT CurrentDriver() {
  for (auto it = tlsRoutines.rbegin(); it != tlsRoutines.rend(); ++it) {
    if (it->driver) return it->driver;
  }
  return nullptr;
}

std::string DriverName(PDRIVER_OBJECT driver) {
  if (!driver) return "winsim";
  auto& drivers = State().drivers;
  auto found = drivers.find(driver);
  return found == drivers.end() ? "unknown driver" : found->second->shortName;
}

// As "0x%0*llX" would print it; by hand, because every IRP and user call
// logs several of these and snprintf made them a fifth of a download's CPU.
std::string Hex(uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  char reversed[16];
  int count = 0;
  do {
    reversed[count++] = kDigits[value & 15];
    value >>= 4;
  } while (value != 0);
  std::string text;
  text.reserve(2 + static_cast<size_t>(std::max(digits, count)));
  text += "0x";
  if (digits > count) text.append(static_cast<size_t>(digits - count), '0');
  while (count > 0) text += reversed[--count];
  return text;
}

std::string CurrentPlace() {
  if (tlsRoutines.empty()) return {};
  const RoutineFrame& frame = tlsRoutines.back();
  return DriverName(frame.driver) + "!" + frame.routine;
}

RoutineScope::RoutineScope(PDRIVER_OBJECT driver, std::string routine) {
  tlsRoutines.push_back({driver, std::move(routine)});
}

RoutineScope::~RoutineScope() { tlsRoutines.pop_back(); }

std::string StatusText(NTSTATUS status) { return Hex(static_cast<ULONG>(status)); }

void SwitchPoint(const char* where) {
  if (Ground* machine = Ground::CurrentOrNull()) machine->Sched().SwitchPoint(where);
}

}  // namespace kernel
}  // namespace winsim

using winsim::Scheduler;
using winsim::kernel::CurrentPlace;
using winsim::kernel::Verify;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Scheduler::CurrentIrql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  const KIRQL current = Scheduler::CurrentIrql();
  if (NewIrql < current) {
    Verify().Report(
        winsim::rule::kIrql, CurrentPlace(),
        "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(current));
  }
  *OldIrql = current;
  Scheduler::SetCurrentIrql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  const KIRQL current = Scheduler::CurrentIrql();
  if (NewIrql > current) {
    Verify().Report(
        winsim::rule::kIrql, CurrentPlace(),
        "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(current));
  }
  Scheduler::SetCurrentIrql(NewIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  if (*SpinLock != 0) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(),
                    "spin lock acquired while held (a deadlock on Windows)");
  }
  *SpinLock = 1;
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  // No switch while it is held: winsim's spin locks do not exclude.
  Scheduler::CountSpinLock(+1);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  *SpinLock = 0;
  Scheduler::CountSpinLock(-1);
  KeLowerIrql(NewIrql);
}

}  // extern "C"
