// winsim: executive pool. Every block is tracked with its tag, its type and
// the routine that allocated it; guard bytes around it are checked when it is
// freed, and freed blocks are poisoned and kept a while (quarantine) so a
// late write does not land in a new block.
#include <algorithm>
#include <cstring>
#include <optional>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

constexpr size_t kGuardBytes = 16;
constexpr std::byte kHeadGuard{0xAB};
constexpr std::byte kTailGuard{0xCD};
constexpr std::byte kFreshFill{0xC1};  // pool is not zeroed on Windows either
constexpr std::byte kPoison{0xDD};
constexpr size_t kQuarantineBlocks = 64;

std::string Describe(const PoolBlock& block) {
  return "tag '" + PoolTagText(block.tag) + "', " + std::to_string(block.size) +
         " bytes, allocated in " + (block.place.empty() ? std::string("winsim") : block.place);
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  const KIRQL irql = KeGetCurrentIrql();
  const bool paged = (type & 1) != 0;
  if ((paged && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
    Verify().Report(rule::kPoolIrql, CurrentPlace(),
                    std::string(paged ? "paged" : "non-paged") + " pool allocated at IRQL " +
                        std::to_string(irql));
  }
  if (Machine::Current().Faults().ShouldFail(AllocationKind::Pool, tag)) return nullptr;
  PoolBlock block;
  block.storage = std::make_unique<std::byte[]>(bytes + 2 * kGuardBytes);
  std::fill_n(block.storage.get(), kGuardBytes, kHeadGuard);
  std::fill_n(block.storage.get() + kGuardBytes, bytes, kFreshFill);
  std::fill_n(block.storage.get() + kGuardBytes + bytes, kGuardBytes, kTailGuard);
  block.size = bytes;
  block.tag = tag;
  block.type = type;
  block.owner = CurrentDriver();
  block.place = CurrentPlace();
  void* user = block.storage.get() + kGuardBytes;
  State().pool.emplace(user, std::move(block));
  return user;
}

void Free(PVOID pointer, std::optional<ULONG> tag) {
  KernelState& state = State();
  auto found = state.pool.find(pointer);
  if (found == state.pool.end()) {
    Verify().Report(rule::kPoolBadFree, CurrentPlace(),
                    "ExFreePool of " + Hex(reinterpret_cast<uintptr_t>(pointer), 0) +
                        ", which is not an allocated pool block (freed twice?)");
    return;
  }
  PoolBlock block = std::move(found->second);
  state.pool.erase(found);
  const std::byte* base = block.storage.get();
  const bool headIntact =
      std::all_of(base, base + kGuardBytes, [](std::byte b) { return b == kHeadGuard; });
  const std::byte* tail = base + kGuardBytes + block.size;
  const bool tailIntact =
      std::all_of(tail, tail + kGuardBytes, [](std::byte b) { return b == kTailGuard; });
  if (!headIntact || !tailIntact) {
    Verify().Report(rule::kPoolCorruption, CurrentPlace(),
                    std::string("guard bytes ") + (headIntact ? "after" : "before") +
                        " the block overwritten: " + Describe(block));
  }
  if (tag && *tag != block.tag) {
    Verify().Report(
        rule::kPoolBadFree, CurrentPlace(),
        "ExFreePoolWithTag with tag '" + PoolTagText(*tag) + "' for " + Describe(block));
  }
  std::fill_n(block.storage.get(), block.size + 2 * kGuardBytes, kPoison);
  state.quarantine.push_back(std::move(block.storage));
  if (state.quarantine.size() > kQuarantineBlocks) state.quarantine.pop_front();
}

}  // namespace

void CheckPoolAtUnload(PDRIVER_OBJECT driver) {
  for (const auto& [pointer, block] : State().pool) {
    if (block.owner != driver) continue;
    Verify().Report(rule::kPoolLeak, block.place.empty() ? DriverName(driver) : block.place,
                    "pool not freed by unload: " + Describe(block));
  }
}

}  // namespace winsim::kernel

using winsim::PoolTag;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return winsim::kernel::Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  winsim::kernel::Verify().Report(winsim::rule::kPoolUntagged, winsim::kernel::CurrentPlace(),
                                  "ExAllocatePool without a tag");
  return winsim::kernel::Allocate(PoolType, NumberOfBytes, PoolTag("None"));
}

VOID NTAPI ExFreePool(PVOID P) { winsim::kernel::Free(P, std::nullopt); }

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { winsim::kernel::Free(P, Tag); }

}  // extern "C"
