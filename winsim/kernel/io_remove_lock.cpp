// winsim: remove locks. The lock itself works as on Windows (a count with a
// bias of one and an event); winsim keeps the tags aside to pair each release
// with an acquisition.
#include <algorithm>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"
#include "kernel/os_exports.h"

namespace winsim::kernel {

void CheckRemoveLocksAtUnload(PDRIVER_OBJECT driver) {
  auto& locks = State().removeLocks;
  for (auto it = locks.begin(); it != locks.end();) {
    if (it->second.owner != driver) {
      ++it;
      continue;
    }
    if (!it->second.held.empty()) {
      Verify().Report(
          rule::kRemoveLockHeld, it->second.place.empty() ? DriverName(driver) : it->second.place,
          std::to_string(it->second.held.size()) + " remove-lock acquisition(s) never released");
    }
    it = locks.erase(it);
  }
}

}  // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

namespace {

void Release(PIO_REMOVE_LOCK lock) {
  if (InterlockedDecrement(&lock->Common.IoCount) == 0)
    KeSetEvent(&lock->Common.RemoveEvent, 0, FALSE);
}

bool Untrack(PIO_REMOVE_LOCK lock, PVOID tag) {
  auto& locks = State().removeLocks;
  auto found = locks.find(lock);
  if (found == locks.end()) return false;
  auto held = found->second.held.find(tag);
  if (held == found->second.held.end()) return false;
  found->second.held.erase(held);
  return true;
}

}  // namespace

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG) {
  winsim::CheckExported("IoInitializeRemoveLockEx");
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  winsim::RemoveLockRecord record;
  record.owner = CurrentDriver();
  record.place = CurrentPlace();
  State().removeLocks[Lock] = std::move(record);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG) {
  winsim::CheckExported("IoAcquireRemoveLockEx");
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    Release(RemoveLock);
    return STATUS_DELETE_PENDING;
  }
  State().removeLocks[RemoveLock].held.insert(Tag);
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG) {
  winsim::CheckExported("IoReleaseRemoveLockEx");
  if (!Untrack(RemoveLock, Tag)) {
    Verify().Report(winsim::rule::kRemoveLockUnmatched, CurrentPlace(),
                    "IoReleaseRemoveLock with tag " + Hex(reinterpret_cast<uintptr_t>(Tag), 0) +
                        ", which holds no acquisition");
    return;
  }
  Release(RemoveLock);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG) {
  winsim::CheckExported("IoReleaseRemoveLockAndWaitEx");
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(),
                    "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
  }
  RemoveLock->Common.Removed = TRUE;
  if (!Untrack(RemoveLock, Tag)) {
    Verify().Report(winsim::rule::kRemoveLockUnmatched, CurrentPlace(),
                    "IoReleaseRemoveLockAndWait with tag " +
                        Hex(reinterpret_cast<uintptr_t>(Tag), 0) + ", which holds no acquisition");
  } else {
    InterlockedDecrement(&RemoveLock->Common.IoCount);
  }
  // Drop the initial bias, then wait for the other holders.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0) {
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
}

}  // extern "C"
