// winsim: memory descriptor lists. Host memory is always resident, so an
// MDL's page array records page addresses and "mapping" is the identity.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

using namespace winsim;
using namespace winsim::kernel;

namespace {

MdlRecord* FindMdl(PMDL mdl) {
  auto found = State().mdls.find(mdl);
  return found == State().mdls.end() ? nullptr : &found->second;
}

// Fills the page array as the memory manager does for resident pages.
void DescribePages(PMDL mdl) {
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
  for (ULONG i = 0; i < pages; ++i) {
    frames[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
  }
  if (MdlRecord* record = FindMdl(mdl)) record->resident = true;
}

}  // namespace

namespace winsim::kernel {

bool CheckMdlResident(PMDL mdl, const std::string& place) {
  const MdlRecord* record = FindMdl(mdl);
  // An MDL the kernel did not allocate (one built in place) is judged by
  // its flags alone.
  const bool resident =
      record != nullptr ? record->resident
                        : (mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)) != 0;
  if (!resident) {
    Verify().Report(
        rule::kMdlNotLocked, place,
        "MDL " + Hex(reinterpret_cast<uintptr_t>(mdl), 0) + " of " +
            std::to_string(mdl->ByteCount) +
            " bytes was neither built for non-paged pool nor locked" +
            (record != nullptr && !record->place.empty() ? " (allocated in " + record->place + ")"
                                                         : std::string()));
  }
  return resident;
}

}  // namespace winsim::kernel

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN,
                         PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "IoAllocateMdl above DISPATCH_LEVEL");
  }
  if (Length == 0) {
    Verify().Report(winsim::rule::kMdlZeroLength, CurrentPlace(), "IoAllocateMdl of 0 bytes");
  }
  if (winsim::Ground::Current().Faults().ShouldFail(winsim::AllocationKind::Mdl)) return nullptr;
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  const size_t bytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  winsim::MdlRecord record;
  record.storage = std::make_unique<std::byte[]>(bytes);
  record.owner = CurrentDriver();
  record.place = CurrentPlace();
  auto* mdl = reinterpret_cast<PMDL>(record.storage.get());
  mdl->Size = static_cast<CSHORT>(bytes);
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  State().mdls.emplace(mdl, std::move(record));
  if (Irp) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last && last->Next) last = last->Next;
      if (last) {
        last->Next = mdl;
      } else {
        Irp->MdlAddress = mdl;
      }
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  if (!State().mdls.erase(Mdl)) {
    Verify().Report(winsim::rule::kDeletedTwice, CurrentPlace(),
                    "IoFreeMdl of " + Hex(reinterpret_cast<uintptr_t>(Mdl), 0) +
                        ", which is not an allocated MDL");
  }
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl->ByteCount == 0) {
    Verify().Report(winsim::rule::kMdlZeroLength, CurrentPlace(),
                    "MmBuildMdlForNonPagedPool of an MDL of 0 bytes");
  }
  auto* start = static_cast<const std::byte*>(MmGetMdlVirtualAddress(mdl));
  // Paged pool anywhere in the range (its first byte, or a block that
  // begins inside it) is a fault: those pages can leave memory.
  const PoolBlock* paged = nullptr;
  if (const PoolBlock* block = FindPoolBlock(start); block && (block->type & 1)) paged = block;
  for (const auto& [address, block] : State().pool) {
    const auto* at = static_cast<const std::byte*>(address);
    if (paged == nullptr && at > start && at < start + mdl->ByteCount && (block.type & 1)) {
      paged = &block;
    }
  }
  if (paged != nullptr) {
    Verify().Report(rule::kMdlPagedPool, CurrentPlace(),
                    "MmBuildMdlForNonPagedPool over paged pool (tag '" + PoolTagText(paged->tag) +
                        "', " + std::to_string(paged->size) + " bytes, allocated in " +
                        (paged->place.empty() ? std::string("winsim") : paged->place) + ")");
  }
  DescribePages(mdl);
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION) {
  // Host memory is always resident; the lock is what the MDL records.
  DescribePages(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
  if (MdlRecord* record = FindMdl(MemoryDescriptorList)) record->resident = false;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  auto* sourceStart = static_cast<PUCHAR>(MmGetMdlVirtualAddress(SourceMdl));
  auto* address = static_cast<PUCHAR>(VirtualAddress);
  const ULONG_PTR offset = static_cast<ULONG_PTR>(address - sourceStart);
  // The source covers [start, start + ByteCount): its end is outside too. A
  // Length of 0 means the rest of the source, never an empty MDL.
  if (address < sourceStart || offset >= SourceMdl->ByteCount) {
    Verify().Report(winsim::rule::kMdlRange, CurrentPlace(),
                    "IoBuildPartialMdl address outside the source MDL");
    return;
  }
  if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - offset);
  if (offset + Length > SourceMdl->ByteCount) {
    Verify().Report(winsim::rule::kMdlRange, CurrentPlace(),
                    "IoBuildPartialMdl of " + std::to_string(Length) + " bytes at offset " +
                        std::to_string(offset) + " of a " + std::to_string(SourceMdl->ByteCount) +
                        "-byte MDL");
    return;
  }
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  const size_t capacity = (static_cast<size_t>(TargetMdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER);
  if (pages > capacity) {
    Verify().Report(winsim::rule::kMdlRange, CurrentPlace(),
                    "IoBuildPartialMdl needs " + std::to_string(pages) +
                        " pages; the target MDL holds " + std::to_string(capacity));
    return;
  }
  TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
  TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  TargetMdl->ByteCount = Length;
  TargetMdl->MdlFlags =
      static_cast<CSHORT>((TargetMdl->MdlFlags & MDL_ALLOCATED_FIXED_SIZE) | MDL_PARTIAL |
                          (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
  const ULONG firstPage = static_cast<ULONG>((reinterpret_cast<ULONG_PTR>(TargetMdl->StartVa) -
                                              reinterpret_cast<ULONG_PTR>(SourceMdl->StartVa)) >>
                                             PAGE_SHIFT);
  PPFN_NUMBER target = MmGetMdlPfnArray(TargetMdl);
  PPFN_NUMBER source = MmGetMdlPfnArray(SourceMdl);
  for (ULONG i = 0; i < pages; ++i) target[i] = source[firstPage + i];
  if (MdlRecord* record = FindMdl(TargetMdl)) {
    const MdlRecord* sourceRecord = FindMdl(SourceMdl);
    record->resident =
        sourceRecord != nullptr
            ? sourceRecord->resident
            : (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)) != 0;
  }
  TargetMdl->MappedSystemVa =
      SourceMdl->MappedSystemVa ? static_cast<PUCHAR>(SourceMdl->MappedSystemVa) + offset : nullptr;
  if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
    TargetMdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE,
                                         MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
  PMDL mdl = MemoryDescriptorList;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return mdl->MappedSystemVa;
}

}  // extern "C"
