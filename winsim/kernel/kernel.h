// winsim: the kernel's internal interface for the rest of winsim (the USB
// bus, the Plug and Play manager, kernel32) and for tests. Drivers use only
// <wdm.h>.
//
// Threading: every function here runs on a simulated thread (inside
// Machine::Run) unless it says otherwise. Blocking ones need PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::kernel {

// ---------------------------------------------------------------- strings

// ASCII/UTF-8 to UTF-16 and back (winsim never uses wchar_t functions).
std::u16string Widen(std::string_view text);
std::string Narrow(std::u16string_view text);
std::string Narrow(PCUNICODE_STRING text);
// A UNICODE_STRING over `text` (not copied; `text` must outlive it).
UNICODE_STRING MakeUnicodeString(const std::u16string& text);

// ---------------------------------------------------------------- drivers

// Creates "\Driver\<name>" and calls entry (DriverEntry) at PASSIVE_LEVEL
// with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<name>". On failure the driver object is
// gone again and *status says why; returns nullptr then. The kernel owns the driver object until
// UnloadDriver.
PDRIVER_OBJECT LoadDriver(std::string_view name, PDRIVER_INITIALIZE entry, NTSTATUS* status);
// Calls DriverUnload (PASSIVE_LEVEL), then checks what the driver left:
// pool (pool-leak), device objects, held remove locks. The driver object is
// freed. Callers (the Plug and Play manager) unload once the driver's last
// device object is gone.
void UnloadDriver(PDRIVER_OBJECT driver);
// Calls the driver's AddDevice for the physical device object, then checks
// that every device object the call created has DO_DEVICE_INITIALIZING
// cleared (device-initializing).
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
// The number of device objects of a driver that are not yet freed (deleted
// ones that still have open file objects count).
size_t DeviceObjectCount(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- objects

// Resolves an object name ("\Device\X", "\DosDevices\X", "\??\X"), following
// symbolic links. Returns nullptr when it names no device (any more).
PDEVICE_OBJECT LookupDevice(std::u16string_view name);
// The device named name (once it exists) lets only SYSTEM and Administrators
// open it, as a security descriptor "D:P(A;;GA;;;SY)(A;;GA;;;BA)" does: a
// user-mode open on a machine whose user is no administrator
// (MachineConfig::administrator) fails with STATUS_ACCESS_DENIED.
void RestrictToAdministrators(std::u16string name);
// The device on top of device's stack (not referenced).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

// ---------------------------------------------------------------- requests

// Sends an IRP that winsim builds to the top of device's stack and waits for
// its completion (PASSIVE_LEVEL). setup fills the first stack location
// (MajorFunction and the rest); IoStatus starts as STATUS_NOT_SUPPORTED, as
// the Plug and Play manager sends its requests. Returns the final status.
NTSTATUS SendIrpAndWait(PDEVICE_OBJECT device, const std::function<void(PIO_STACK_LOCATION)>& setup,
                        ULONG_PTR* information = nullptr);

// The DPC-level completion context: work runs in order on one daemon thread
// at DISPATCH_LEVEL (the bus completes URBs there). May be called from any
// simulated thread at any IRQL; the caller keeps running.
void QueueDpc(std::string what, std::function<void()> work);

// ---------------------------------------------------------------- user-mode I/O

// The entry kernel32 uses. A file object belongs to the caller from a
// successful UserOpen to UserClose.
//
// Opens "\\.\X" or "\\?\X" (through \DosDevices, the same directory as \??)
// or an object name: IRP_MJ_CREATE to
// the top of the device's stack. No share check (as Windows for devices);
// an exclusive device (DO_EXCLUSIVE) refuses a second open with
// STATUS_ACCESS_DENIED. STATUS_OBJECT_NAME_NOT_FOUND when nothing has the name.
// An open of a stack whose first start is running waits for its end
// (SetStackStarting).
NTSTATUS UserOpen(std::string_view path, PFILE_OBJECT* file);
// Device control through the file object. METHOD_BUFFERED: a non-paged
// system buffer of max(inLength, outLength) bytes with the input copied in;
// Information bytes copied back. Other methods: the caller's buffers are
// passed as Windows does for METHOD_NEITHER (Type3InputBuffer, UserBuffer).
// *returned = Information (0 when the request failed with an error).
NTSTATUS UserDeviceIoControl(PFILE_OBJECT file, ULONG ioControlCode, const void* input,
                             ULONG inputLength, void* output, ULONG outputLength, ULONG* returned);
// IRP_MJ_CLEANUP (status ignored) then IRP_MJ_CLOSE; frees the file object
// and, for a deleted device, the device object once its last file is closed.
NTSTATUS UserClose(PFILE_OBJECT file);

// For the Plug and Play manager, which sends a surprise-removed device its
// IRP_MN_REMOVE_DEVICE once the last handle to its stack is closed, as
// Windows does: the file objects open on device (opened by its name or
// through a link to it), and observers that UserClose calls once a file
// object is closed and freed (the pointer is then only an identity).
std::vector<PFILE_OBJECT> OpenFiles(PDEVICE_OBJECT device);
void AddFileClosedObserver(std::function<void(PFILE_OBJECT closed)> observer);
// The object name of a device ("\Device\X"); empty when it has none.
std::u16string DeviceObjectName(PDEVICE_OBJECT device);
// For the Plug and Play manager: Windows holds create requests for a newly
// added device stack until its start request has succeeded. While
// physicalDevice's stack is marked starting, UserOpen on any device of it
// waits; clearing the mark (after the start, or after the removal that
// follows a failed start) lets those opens go on.
void SetStackStarting(PDEVICE_OBJECT physicalDevice, bool starting);
// For the Plug and Play manager: from IRP_MN_SURPRISE_REMOVAL until
// IRP_MN_REMOVE_DEVICE the devices of physicalDevice's stack must stay
// attached and undeleted (device-deleted-before-remove).
void SetStackRemovePending(PDEVICE_OBJECT physicalDevice, bool pending);

// ---------------------------------------------------------------- memory

// Driver Verifier's special pool for the pool allocations with this tag,
// from now on: each block ends where a page ends (its end aligned to 8
// bytes, the pool's alignment), followed by a page that cannot be touched,
// so that a read or write past the block faults at once. Blocks are not
// filled or guarded otherwise; a freed block's pages are released.
void UseSpecialPool(ULONG tag);

// For buses that take MDLs: whether mdl's page array describes resident
// pages (MmBuildMdlForNonPagedPool, MmProbeAndLockPages, or a partial MDL
// built from such an MDL). Otherwise a `mdl-not-locked` finding is reported
// at place, and false returned.
bool CheckMdlResident(PMDL mdl, const std::string& place);

// ---------------------------------------------------------------- power

// A failure that the next matching PoRequestPowerIrp calls report instead
// of sending an IRP (count times; STATUS_SUCCESS clears it).
void ScriptPowerRequestFailure(NTSTATUS status, int count = 1);
// How many system set-power IRPs have reached physicalDevice's own driver
// (the bus driver at the bottom of its stack). A function driver that
// completes a system set-power IRP itself keeps it from the bus driver.
int SystemSetPowerArrivals(PDEVICE_OBJECT physicalDevice);

// ---------------------------------------------------------------- exploration

// A switch point of schedule exploration (ground/exploration.h): where a
// thread calls into the kernel or a driver, another thread may run first.
void SwitchPoint(const char* where);

// ---------------------------------------------------------------- bug checks

// Stops the machine as Windows' KeBugCheckEx does: the bug check is logged
// (EventKind::BugCheck, with the code, the parameters and the place) and
// reported (the finding bug-check), the scheduler halts (no thread runs
// again, Machine::Run returns false) and the calling simulated thread
// unwinds. On a host thread it throws std::runtime_error instead.
[[noreturn]] void BugCheck(ULONG code, ULONG_PTR parameter1, ULONG_PTR parameter2 = 0,
                           ULONG_PTR parameter3 = 0, ULONG_PTR parameter4 = 0);
inline constexpr ULONG kKernelModeExceptionNotHandled = 0x8E;
inline constexpr ULONG kDriverPowerStateFailure = 0x9F;

// ---------------------------------------------------------------- places

// Names the driver routine running on this thread, for verifier findings
// and allocation records ("TestDriver!IRP_MJ_DEVICE_CONTROL"); "" outside.
std::string CurrentPlace();
// Pushes a routine name for the lifetime of the scope (winsim's own callers
// into driver code: the Plug and Play manager, the bus).
class RoutineScope {
 public:
  RoutineScope(PDRIVER_OBJECT driver, std::string routine);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
};

// ---------------------------------------------------------------- names in logs

std::string MajorName(UCHAR major);
std::string PnpMinorName(UCHAR minor);
std::string StatusText(NTSTATUS status);  // "0xC0000001"

}  // namespace winsim::kernel
