// The Wine run's kernel shims (see wine_kernel_shims.h).
#include "wine_kernel_shims.h"

namespace wine_kernel_shims {

namespace {

// --- Reading PE images in memory (both PE32 and PE32+) -------------------------

ULONG ReadUlong(const UCHAR* at) {
  return (ULONG)at[0] | ((ULONG)at[1] << 8) | ((ULONG)at[2] << 16) | ((ULONG)at[3] << 24);
}
USHORT ReadUshort(const UCHAR* at) { return (USHORT)(at[0] | (at[1] << 8)); }

// The NT headers of an image mapped at Base, or null.
const UCHAR* NtHeaders(const UCHAR* base) {
  if (base[0] != 'M' || base[1] != 'Z') return NULL;
  const ULONG offset = ReadUlong(base + 0x3C);
  if (offset == 0 || offset > 0x1000) return NULL;
  const UCHAR* nt = base + offset;
  if (nt[0] != 'P' || nt[1] != 'E' || nt[2] != 0 || nt[3] != 0) return NULL;
  return nt;
}

ULONG SizeOfImage(const UCHAR* nt) { return ReadUlong(nt + 24 + 56); }

// Data directory Index: its RVA and size.
BOOLEAN Directory(const UCHAR* nt, ULONG index, ULONG* rva, ULONG* size) {
  const UCHAR* optional = nt + 24;
  const USHORT magic = ReadUshort(optional);
  const UCHAR* directories;
  if (magic == 0x10B) {
    directories = optional + 96;
  } else if (magic == 0x20B) {
    directories = optional + 112;
  } else {
    return FALSE;
  }
  *rva = ReadUlong(directories + 8 * index);
  *size = ReadUlong(directories + 8 * index + 4);
  return *rva != 0;
}

// The image that contains Address: PE images are mapped at 64 KiB
// boundaries, and every page from the image base to Address is mapped, so
// walking down in 64 KiB steps reads only the image's own pages.
const UCHAR* ImageContaining(const void* address, ULONG* size) {
  ULONG_PTR at = (ULONG_PTR)address & ~(ULONG_PTR)0xFFFF;
  for (int step = 0; step < 1024 && at != 0; ++step, at -= 0x10000) {
    const UCHAR* base = (const UCHAR*)at;
    if (const UCHAR* nt = NtHeaders(base)) {
      *size = SizeOfImage(nt);
      if ((ULONG_PTR)address < at + *size) return base;
      return NULL;
    }
  }
  return NULL;
}

BOOLEAN SameText(const char* a, const char* b, BOOLEAN ignoreCase) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (ignoreCase) {
      if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = (char)(y - 'A' + 'a');
    }
    if (x != y) return FALSE;
    if (x == 0) return TRUE;
  }
}

ULONG TextLength(const char* text) {
  ULONG n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// Does the 32-bit value at Code point at Text (NUL included) inside the image
// [Base, Base + Size)? Either as an absolute address (i386 code) or as a
// displacement from the end of the value (x86-64 RIP-relative code).
BOOLEAN PointsAtText(const UCHAR* code, const UCHAR* base, ULONG size, const char* text,
                     BOOLEAN ignoreCase) {
  const ULONG length = TextLength(text) + 1;
  const ULONG value = ReadUlong(code);
  const ULONG_PTR candidates[2] = {
      (ULONG_PTR)value,
      (ULONG_PTR)(code + 4) + (ULONG_PTR)(LONG_PTR)(LONG)value,
  };
  for (ULONG_PTR target : candidates) {
    if (target < (ULONG_PTR)base || target + length > (ULONG_PTR)base + size) continue;
    if (SameText((const char*)target, text, ignoreCase)) return TRUE;
  }
  return FALSE;
}

}  // namespace

// --- The shims ------------------------------------------------------------------

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  const ULONG_PTR sourceStart = (ULONG_PTR)MmGetMdlVirtualAddress(SourceMdl);
  const ULONG offset = (ULONG)((ULONG_PTR)VirtualAddress - sourceStart);
  if (Length == 0) {
    Length = MmGetMdlByteCount(SourceMdl) - offset;
  }
  TargetMdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)(PAGE_SIZE - 1));
  TargetMdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & (PAGE_SIZE - 1));
  TargetMdl->ByteCount = Length;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags = (CSHORT)((TargetMdl->MdlFlags & (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED)) |
                                 MDL_PARTIAL);
  if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    TargetMdl->MappedSystemVa = (PUCHAR)SourceMdl->MappedSystemVa + offset;
    TargetMdl->MdlFlags |= (CSHORT)(SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    if (SourceMdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
      TargetMdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED;
    }
  }
}

// winebuild's stub for an export that a DLL's export list marks "stub":
//   x86-64: sub $0x28,%rsp; lea <"ntoskrnl.exe">(%rip),%rcx;
//           lea <"IoBuildPartialMdl">(%rip),%rdx; call __wine_spec_unimplemented_stub
//   i386:   (nops) ...; movl $<name>,4(%esp); movl $<"ntoskrnl.exe">,(%esp); call ...
// Its first bytes point at both the export's own name and the DLL's file
// name. An implemented function never names its DLL (a TRACE names the
// function, not the DLL), so both together mark the stub.
BOOLEAN WineExportIsStub(const char* name) {
  UNICODE_STRING routine;
  WCHAR wide[64];
  ULONG n = 0;
  for (; name[n] != 0 && n + 1 < sizeof wide / sizeof wide[0]; ++n) wide[n] = (WCHAR)name[n];
  wide[n] = 0;
  RtlInitUnicodeString(&routine, wide);
  const UCHAR* code = (const UCHAR*)MmGetSystemRoutineAddress(&routine);
  if (code == NULL) return FALSE;
  ULONG size = 0;
  const UCHAR* base = ImageContaining(code, &size);
  if (base == NULL) return FALSE;
  BOOLEAN namesItself = FALSE, namesDll = FALSE;
  for (ULONG i = 0; i < 48 && code + i + 4 <= base + size; ++i) {
    if (PointsAtText(code + i, base, size, name, FALSE)) namesItself = TRUE;
    if (PointsAtText(code + i, base, size, "ntoskrnl.exe", TRUE)) namesDll = TRUE;
  }
  return namesItself && namesDll;
}

ShimReport InstallShims(PVOID imageBase) {
  ShimReport report = {FALSE, FALSE, FALSE};
  report.wineStub = WineExportIsStub("IoBuildPartialMdl");
  const UCHAR* base = (const UCHAR*)imageBase;
  if (base == NULL) return report;
  const UCHAR* nt = NtHeaders(base);
  ULONG rva = 0, size = 0;
  if (nt == NULL || !Directory(nt, 1, &rva, &size)) return report;
  for (const UCHAR* descriptor = base + rva; ReadUlong(descriptor + 12) != 0; descriptor += 20) {
    if (!SameText((const char*)(base + ReadUlong(descriptor + 12)), "ntoskrnl.exe", TRUE)) continue;
    const ULONG names = ReadUlong(descriptor) != 0 ? ReadUlong(descriptor) : ReadUlong(descriptor + 16);
    const ULONG_PTR* lookup = (const ULONG_PTR*)(base + names);
    ULONG_PTR* addresses = (ULONG_PTR*)(base + ReadUlong(descriptor + 16));
    const ULONG_PTR ordinalFlag = (ULONG_PTR)1 << (sizeof(ULONG_PTR) * 8 - 1);
    for (ULONG i = 0; lookup[i] != 0; ++i) {
      if (lookup[i] & ordinalFlag) continue;
      const char* imported = (const char*)(base + (ULONG)lookup[i] + 2);
      if (!SameText(imported, "IoBuildPartialMdl", FALSE)) continue;
      report.found = TRUE;
      if (report.wineStub) {
        // The import address table is in a writable section (.idata).
        InterlockedExchangePointer((PVOID*)&addresses[i], (PVOID)&IoBuildPartialMdl);
        report.redirected = TRUE;
      }
    }
  }
  return report;
}

}  // namespace wine_kernel_shims
