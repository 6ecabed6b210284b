// winsim: memory descriptor lists. Host memory is always resident, so an
// MDL's page array records page addresses and "mapping" is the identity.
#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

using namespace winsim;
using namespace winsim::kernel;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN,
                         PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "IoAllocateMdl above DISPATCH_LEVEL");
  }
  if (Length == 0) {
    Verify().Report(winsim::rule::kMdlZeroLength, CurrentPlace(), "IoAllocateMdl of 0 bytes");
  }
  if (winsim::Machine::Current().Faults().ShouldFail(winsim::AllocationKind::Mdl)) return nullptr;
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
  const ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
  for (ULONG i = 0; i < pages; ++i) {
    frames[i] = (reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT) + i;
  }
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
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
