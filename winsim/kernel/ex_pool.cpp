// winsim: executive pool. Every block is tracked with its tag, its type and
// the routine that allocated it; guard bytes around it are checked when it is
// freed, and freed blocks are poisoned and kept a while (quarantine) so a
// late write does not land in a new block.
#include <sys/mman.h>
#include <unistd.h>

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
  if (Ground::Current().Faults().ShouldFail(AllocationKind::Pool, tag)) return nullptr;
  PoolBlock block;
  block.size = bytes;
  block.tag = tag;
  block.type = type;
  block.owner = CurrentDriver();
  block.place = CurrentPlace();
  if (State().specialPoolTags.count(tag) != 0) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t rounded = (bytes + 7) & ~size_t{7};
    const size_t mapped = (rounded + page - 1) / page * page + page;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return nullptr;
    auto* bytesAt = static_cast<std::byte*>(base);
    mprotect(bytesAt + mapped - page, page, PROT_NONE);
    block.special.reset(bytesAt, [mapped](std::byte* at) { munmap(at, mapped); });
    void* user = bytesAt + mapped - page - rounded;
    std::fill_n(static_cast<std::byte*>(user), bytes, kFreshFill);
    State().pool.emplace(user, std::move(block));
    return user;
  }
  block.storage = std::make_unique<std::byte[]>(bytes + 2 * kGuardBytes);
  std::fill_n(block.storage.get(), kGuardBytes, kHeadGuard);
  std::fill_n(block.storage.get() + kGuardBytes, bytes, kFreshFill);
  std::fill_n(block.storage.get() + kGuardBytes + bytes, kGuardBytes, kTailGuard);
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
  if (block.special) {
    if (tag && *tag != block.tag) {
      Verify().Report(
          rule::kPoolBadFree, CurrentPlace(),
          "ExFreePoolWithTag with tag '" + PoolTagText(*tag) + "' for " + Describe(block));
    }
    return;  // its pages go with it
  }
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

void UseSpecialPool(ULONG tag) { State().specialPoolTags.insert(tag); }

const PoolBlock* FindPoolBlock(const void* address) {
  const auto& pool = State().pool;
  auto after = pool.upper_bound(const_cast<void*>(address));
  if (after == pool.begin()) return nullptr;
  const auto& [start, block] = *std::prev(after);
  const auto* begin = static_cast<const std::byte*>(start);
  const auto* at = static_cast<const std::byte*>(address);
  return at < begin + block.size ? &block : nullptr;
}

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
