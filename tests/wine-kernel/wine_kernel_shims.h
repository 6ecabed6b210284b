// The Wine run's kernel shims: the one place where the test harness supplies
// kernel functions that quillfw.sys imports and that Wine's ntoskrnl.exe does
// not implement. Never part of the product: quillfw.sys is loaded unchanged,
// and the test bus driver redirects the affected entries of quillfw's import
// address table to the functions here once Wine has loaded it
// (docs/windows.md, "Kernel functions Wine lacks").
//
// Each shim has a check: it is used only while Wine's own export is still
// winebuild's "unimplemented stub" (whose code names the function and the DLL
// and raises an exception when called). When a Wine version implements the
// function, the check says so, the shim is left unused, and the run reports
// it so that the shim can go.
#pragma once

#include <wdm.h>

namespace wine_kernel_shims {

// Wine 8.0: ntoskrnl.exe's IoBuildPartialMdl is an unimplemented stub. The
// shim describes the part of the source MDL's buffer: start, offset and byte
// count (the rest of the source when Length is 0), MDL_PARTIAL. Wine keeps no
// page frame numbers in MDLs (its MmBuildMdlForNonPagedPool does nothing),
// and every driver in winedevice shares one address space, so a lower driver
// reads the piece through MmGetMdlVirtualAddress.
VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);

// TRUE when Wine's export of that name in ntoskrnl.exe is winebuild's
// unimplemented stub.
BOOLEAN WineExportIsStub(const char* name);

struct ShimReport {
  BOOLEAN wineStub;   // Wine's IoBuildPartialMdl is a stub
  BOOLEAN redirected; // the image's import now calls the shim
  BOOLEAN found;      // the image imports ntoskrnl.exe!IoBuildPartialMdl
};

// Redirects the import of ntoskrnl.exe!IoBuildPartialMdl in the driver image
// at ImageBase to the shim, when Wine's export is a stub. Idempotent.
ShimReport InstallShims(PVOID ImageBase);

}  // namespace wine_kernel_shims
