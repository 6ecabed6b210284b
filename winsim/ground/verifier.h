// winsim: the verifier (Driver Verifier's role) and fault injection.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim {

// Rule names. Each finding names one of these and the place it was found
// (driver routine, IRP, pool tag).
namespace rule {
inline constexpr std::string_view kPoolUntagged = "pool-untagged";
inline constexpr std::string_view kPoolLeak = "pool-leak";  // not freed by driver unload
inline constexpr std::string_view kPoolCorruption = "pool-corruption";  // guard bytes
inline constexpr std::string_view kPoolBadFree = "pool-bad-free";       // unknown or double free
inline constexpr std::string_view kPoolIrql = "pool-irql";
inline constexpr std::string_view kIrpDoubleCompletion = "irp-double-completion";
inline constexpr std::string_view kIrpResentInFlight = "irp-resent-in-flight";
inline constexpr std::string_view kIrpCompletedPending = "irp-completed-with-pending-status";
inline constexpr std::string_view kDispatchStatusMismatch = "dispatch-status-mismatch";
inline constexpr std::string_view kPendingNotMarked = "pending-not-marked";
inline constexpr std::string_view kMarkedNotPending = "marked-pending-not-returned";
inline constexpr std::string_view kIrpLost =
    "irp-not-completed";  // returned neither pending nor completed
inline constexpr std::string_view kIrql = "irql";
inline constexpr std::string_view kDriverIrpCompleted = "driver-irp-completed";
inline constexpr std::string_view kIrpBadFree = "irp-bad-free";
inline constexpr std::string_view kIrpLeak = "irp-leak";
inline constexpr std::string_view kStackOverflow = "irp-stack-overflow";
inline constexpr std::string_view kRemoveLockUnmatched = "remove-lock-unmatched";
inline constexpr std::string_view kRemoveLockHeld = "remove-lock-held";
inline constexpr std::string_view kDeviceInitializing = "device-initializing";
inline constexpr std::string_view kDeletedTwice = "deleted-twice";
inline constexpr std::string_view kDeviceLeak = "device-not-deleted";  // at driver unload
// A driver detached or deleted a device object of a stack whose removal is
// pending (after IRP_MN_SURPRISE_REMOVAL, before IRP_MN_REMOVE_DEVICE).
inline constexpr std::string_view kDeletedBeforeRemove = "device-deleted-before-remove";
inline constexpr std::string_view kInformationTooLarge = "information-too-large";
// Information covers bytes of a METHOD_BUFFERED system buffer, beyond the
// input, that the driver never wrote (they still hold the poison pattern).
inline constexpr std::string_view kSystemBufferUnwritten = "system-buffer-unwritten";
inline constexpr std::string_view kMdlRange = "mdl-range";
// An MDL handed to a bus whose pages were neither built for non-paged pool
// (MmBuildMdlForNonPagedPool, or a partial MDL of such an MDL) nor locked
// (MmProbeAndLockPages): its page array describes nothing resident.
inline constexpr std::string_view kMdlNotLocked = "mdl-not-locked";
// MmBuildMdlForNonPagedPool over paged pool: the pages may be paged out
// under the transfer.
inline constexpr std::string_view kMdlPagedPool = "mdl-paged-pool";
inline constexpr std::string_view kMdlLeak = "mdl-leak";
// An MDL built (IoAllocateMdl, MmBuildMdlForNonPagedPool) for 0 bytes: a
// checked kernel asserts that an MDL describes at least one byte.
inline constexpr std::string_view kMdlZeroLength = "mdl-zero-length";
// A bulk or interrupt transfer of a nonzero length with neither a buffer nor
// an MDL.
inline constexpr std::string_view kTransferWithoutBuffer = "transfer-without-buffer";
// A transfer on a pipe handle that a select-configuration request of the
// driver has closed since (Windows' port driver would follow a freed handle).
inline constexpr std::string_view kPipeClosed = "pipe-closed";
// A breakpoint with a kernel debugger attached (the machine goes on).
inline constexpr std::string_view kDebugBreak = "debug-break";
// The machine stopped with a bug check (a breakpoint without a debugger,
// KeBugCheckEx); the detail names the code and parameters.
inline constexpr std::string_view kBugCheck = "bug-check";
inline constexpr std::string_view kHang = "hang";
// A system set-power IRP (IRP_MN_SET_POWER, SystemPowerState) came back
// failed: Windows lets no driver fail one.
inline constexpr std::string_view kSystemSetPowerFailed = "system-set-power-failed";
// A driver held a power IRP longer than the power manager's watchdog allows
// (ten minutes; bug check 0x9F, parameter 3, on Windows Vista and later).
inline constexpr std::string_view kPowerIrpWatchdog = "power-irp-watchdog";
// A driver called a routine that the machine's Windows family does not
// export (kernel/os_exports.txt): on Windows it would not have loaded.
inline constexpr std::string_view kImportMissing = "import-missing-on-family";
}  // namespace rule

struct Finding {
  std::string rule;
  std::string place;
  std::string detail;
  bool expected = false;
};

// Findings are also written to the event log (kind Finding). A test fails
// when a finding it did not Expect() is present (see tests/support).
class Verifier {
 public:
  void Report(std::string_view ruleName, std::string place, std::string detail);
  // Marks findings of this rule as expected by the test (before or after).
  void Expect(std::string_view ruleName);
  std::vector<Finding> Findings() const;
  std::vector<Finding> Unexpected() const;
  bool Has(std::string_view ruleName) const;

 private:
  mutable std::mutex mutex_;
  std::vector<Finding> findings_;
  std::vector<std::string> expected_;
};

// UserRequest: the IRP (with its system buffer) that the I/O manager
// allocates for a user-mode create or device control; counted apart from the
// IRPs drivers allocate, so that their ordinals do not depend on user mode.
enum class AllocationKind { Pool, Irp, Mdl, UserRequest };

// Fails chosen allocations. Ordinals count from 1 since the machine started,
// per kind (and, when a tag is given, among the pool allocations with that
// tag), so a sweep can run once, read Count(), and then fail each in turn.
class FaultInjector {
 public:
  void FailNth(AllocationKind kind, uint64_t ordinal, std::optional<ULONG> poolTag = {});
  // Counts the allocation; returns true when it must fail.
  bool ShouldFail(AllocationKind kind, ULONG poolTag = 0);
  uint64_t Count(AllocationKind kind, std::optional<ULONG> poolTag = {}) const;

 private:
  struct Plan {
    AllocationKind kind;
    uint64_t ordinal;
    std::optional<ULONG> tag;
  };
  mutable std::mutex mutex_;
  std::vector<Plan> plans_;
  std::map<AllocationKind, uint64_t> counts_;
  std::map<ULONG, uint64_t> poolTagCounts_;
};

// "Wdm " -> 0x206d6457, as the DDK's multi-character tags are written.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
         ULONG(uint8_t(text[3])) << 24;
}
std::string PoolTagText(ULONG tag);

}  // namespace winsim
