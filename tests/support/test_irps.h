// IRP handling that the small drivers of the tests share: completing a
// request, passing one down and waiting for it, and sending a URB.
#pragma once

#include <wdm.h>

#include <string>

namespace testing_support {

// Completes irp with status (and information, when given: otherwise it
// keeps what the drivers below left there); returns status.
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);

// Passes irp to lower and waits for the drivers below to finish it; the
// caller completes it. Returns the status they gave.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

// Sends urb to target as a client driver does, waiting when it pends;
// *pended (if given) says whether it did.
NTSTATUS SubmitUrbAndWait(PDEVICE_OBJECT target, PVOID urb, bool* pended = nullptr);

// Creates a device object named `name` (no extension) with the symbolic
// link `link`, ready for opens; returns the first failure.
NTSTATUS CreateNamedDevice(PDRIVER_OBJECT driver, WCHAR* name, WCHAR* link, PDEVICE_OBJECT* device);

// Copies text (with its terminator) into a WCHAR buffer of at least
// text.size() + 1 elements.
void CopyToWide(const std::string& text, WCHAR* buffer);

}  // namespace testing_support
