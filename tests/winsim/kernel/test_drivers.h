// Small test drivers that stand in for real ones: a bus driver that makes a
// physical device object and completes requests on the DPC-level thread, and
// an echo function driver with buffered control codes. Faults switch on
// deliberate bugs, one per verifier rule.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace test_drivers {

#define IOCTL_ECHO_SYNC CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ECHO_FORWARD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_ECHO_FORWARD_SCRIPTED \
  CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BUS_ASYNC CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_BUS_SCRIPTED CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS)

// How the bus answers each IOCTL_BUS_SCRIPTED request, in order. The echo
// driver's IOCTL_ECHO_FORWARD_SCRIPTED sends two pieces on one IRP of its
// own, the second from its completion routine.
enum class BusAnswer {
  CompleteInline,     // completes with success (7 bytes) and returns it
  CompleteLater,      // marks pending, returns STATUS_PENDING, completes on the DPC thread
  ReturnOtherStatus,  // completes with success but returns STATUS_UNSUCCESSFUL (a fault)
  MarkAndComplete,    // marks pending, completes, returns success (a fault)
  PendingUnmarked,    // returns STATUS_PENDING unmarked, completes on the DPC thread (a fault)
};

enum class Fault {
  None,
  LeakPool,              // allocation never freed
  UntaggedPool,          // ExAllocatePool
  OverrunPool,           // writes past the end of a block
  DoubleFreePool,        // frees a block twice
  CompleteTwice,         // completes a request twice
  StatusMismatch,        // returns another status than it completed with
  PendingNotMarked,      // returns STATUS_PENDING without marking
  MarkedNotPending,      // marks pending, completes, returns success
  DriverIrpCompleted,    // own IRP's completion routine lets it complete
  ReleaseUnmatchedLock,  // releases a remove lock with a tag never used
  KeepInitializing,      // AddDevice leaves DO_DEVICE_INITIALIZING set
  DeleteTwice,           // IoDeleteDevice twice at removal
  InformationTooLarge,   // Information larger than the output buffer
  WaitAtDispatch,        // waits with a time-out at DISPATCH_LEVEL
  ResendInFlight,        // sends its IRP again while it is still below
  DebugBreak,            // DbgBreakPoint
  PagedPoolAtDispatch,   // allocates paged pool at DISPATCH_LEVEL
  CompleteWithPending,   // completes a request with STATUS_PENDING
  LeakIrp,               // never frees the IRP it allocated
  LeakMdl,               // never frees an MDL
  FreeIrpTwice,          // IoFreeIrp twice
  FreeIrpBelow,          // IoFreeIrp while the bus still holds the IRP
  FreeIoManagerIrp,      // IoFreeIrp of the request the I/O manager sent it
  KeepDevice,            // unloads without deleting its device
};

struct EchoConfig {
  Fault fault = Fault::None;
};
extern EchoConfig echoConfig;

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
NTSTATUS NTAPI EchoDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A filter that passes every request down with IoSkipCurrentIrpStackLocation
// (power requests with PoCallDriver); its AddDevice attaches an unnamed device.
NTSTATUS NTAPI SkipFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// Detaches and deletes the filter's device.
void RemoveSkipFilterDevice(PDRIVER_OBJECT filter);

// The bus's physical device object (created by BusDriverEntry).
PDEVICE_OBJECT BusPdo();
// The answers to IOCTL_BUS_SCRIPTED requests, taken from the front.
// Requests the bus has seen, by major function.
std::vector<UCHAR>& BusRequests();
std::vector<BusAnswer>& BusScript();
// Tears the echo device down as a removal would (detach, delete link and device).
void RemoveEchoDevice(PDRIVER_OBJECT echo);

}  // namespace test_drivers
