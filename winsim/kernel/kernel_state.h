// winsim: the kernel's objects, private to winsim/kernel. Simulated threads
// run one at a time, so these tables need no locks of their own; calls from
// a host thread happen only while no simulation runs.
#pragma once

#include <wdm.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ground/ground.h"

namespace winsim {

// The addresses of the last IRPs freed, for the double-free and
// double-completion checks. A fixed ring: a machine that runs for long (a
// fuzz target's thousands of inputs) frees ever more IRPs, and a table of
// every one of them grew without end. Asked only about an address with no
// live IRP, so an IRP allocated at a freed address needs no scan to take it
// out.
class RecentlyFreed {
 public:
  static constexpr size_t kCapacity = 256;
  void Add(const void* address) {
    slots_[next_] = address;
    next_ = (next_ + 1) % kCapacity;
  }
  bool Contains(const void* address) const {
    return address != kNone && std::find(slots_.begin(), slots_.end(), address) != slots_.end();
  }

 private:
  static constexpr const void* kNone = nullptr;
  std::array<const void*, kCapacity> slots_{};
  size_t next_ = 0;
};

struct DriverRecord {
  std::unique_ptr<DRIVER_OBJECT> object;
  std::unique_ptr<DRIVER_EXTENSION> extension;
  std::u16string name;  // "\Driver\X"
  std::u16string registryPath;
  std::string shortName;  // "X", used in places
};

struct DeviceRecord {
  std::unique_ptr<std::byte[]> storage;  // DEVICE_OBJECT then the extension
  std::u16string name;                   // "" when unnamed or deleted
  bool deleted = false;
  int openFiles = 0;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
};

// One call of a dispatch routine for an IRP (CallDispatch): what completion
// did at the call's stack location while the call ran.
struct DispatchCall {
  int level = 0;        // the IRP's CurrentLocation in the dispatch routine
  bool passed = false;  // completion has passed this location
  bool marked = false;  // marked pending (seen by completion or by the I/O manager)
  NTSTATUS statusWhenPassed = STATUS_SUCCESS;
};

struct IrpRecord {
  bool driverAllocated = true;
  PDRIVER_OBJECT owner = nullptr;
  std::string place;
  std::unique_ptr<std::byte[]> storage;
  bool inFlight = false;  // sent by its originator, not yet back
  bool held = false;      // a driver may complete it now
  // While in flight: the stack location (1..StackCount) of the driver that
  // holds the IRP; only that driver may pass it further down.
  int holderLevel = 0;
  // The originator's own location when it sent the IRP (StackCount + 1, or
  // lower when it kept locations for itself): completion back to it ends
  // the submission.
  int sendLevel = 0;
  // The dispatch routines now running for the IRP, innermost last. A
  // completion routine that returns STATUS_MORE_PROCESSING_REQUIRED takes
  // the IRP back and may send it again at once, at the same location, while
  // the dispatch routine that completed it has not yet returned: each call
  // keeps what happened to its own submission.
  std::vector<DispatchCall*> calls;
  // Dispatch routines that returned STATUS_PENDING before completion reached
  // their location and before it was marked there: completion judges them
  // when it passes that location (a completion routine may still mark it).
  struct PendingVerdict {
    int level = 0;
    std::string place;
  };
  std::vector<PendingVerdict> pendingVerdicts;
  // For IRPs the I/O manager owns: runs when completion reaches the top.
  std::function<void(PIRP)> onFinished;
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG ioctl = 0;
};

struct PoolBlock {
  std::unique_ptr<std::byte[]> storage;  // guard bytes, the block, guard bytes
  // Special pool instead: pages that end with the block, then a page that
  // cannot be touched (unmapped when the block is freed).
  std::shared_ptr<std::byte> special;
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  PDRIVER_OBJECT owner = nullptr;
  std::string place;
};

struct MdlRecord {
  std::unique_ptr<std::byte[]> storage;
  PDRIVER_OBJECT owner = nullptr;
  std::string place;
  // Its page array describes resident pages: built for non-paged pool,
  // locked, or a partial MDL built from such an MDL.
  bool resident = false;
};

struct RemoveLockRecord {
  std::multiset<PVOID> held;
  PDRIVER_OBJECT owner = nullptr;
  std::string place;
};

struct FileRecord {
  std::unique_ptr<FILE_OBJECT> object;
  PDEVICE_OBJECT named = nullptr;   // the device the name resolved to
  PDEVICE_OBJECT target = nullptr;  // the top of its stack at open time
};

class KernelState {
 public:
  KernelState();
  ~KernelState();
  // Forgets per-run state (the DPC thread) after Machine::Run. hung: the
  // run ended in a hang; the power IRPs still held are named in the log.
  void OnRunEnded(bool hung);

  // Power IRPs between their first PoCallDriver (or the power manager's
  // call) and their final completion.
  struct PowerIrpRecord {
    std::string what;  // "IRP_MN_SET_POWER S3"
    VirtualTime since;
  };
  std::map<PIRP, PowerIrpRecord> powerInFlight;

  std::map<PDRIVER_OBJECT, std::unique_ptr<DriverRecord>> drivers;
  std::map<PDEVICE_OBJECT, std::unique_ptr<DeviceRecord>> devices;
  std::set<const void*> deletedDevices;            // freed device objects (double-delete check)
  std::map<std::u16string, PDEVICE_OBJECT> names;  // upper-case object names
  std::map<std::u16string, std::u16string> links;  // upper-case link -> target
  std::map<PIRP, std::shared_ptr<IrpRecord>> irps;
  RecentlyFreed freedIrps;
  std::map<void*, PoolBlock> pool;
  std::set<ULONG> specialPoolTags;
  std::deque<std::unique_ptr<std::byte[]>> quarantine;  // freed, poisoned blocks
  std::map<PMDL, MdlRecord> mdls;
  std::map<PIO_REMOVE_LOCK, RemoveLockRecord> removeLocks;
  std::map<PFILE_OBJECT, FileRecord> files;
  // Devices whose security lets only SYSTEM and Administrators open them
  // (what an INF's Security entry sets), by name.
  std::vector<std::u16string> administratorsOnly;
  std::vector<std::function<void(PFILE_OBJECT)>> fileClosedObservers;
  std::deque<std::pair<std::string, std::function<void()>>> dpcQueue;
  bool dpcThreadRunning = false;
  NTSTATUS powerFailure = STATUS_SUCCESS;
  int powerFailureCount = 0;
  // Bottoms of the stacks (physical device objects) whose first start is
  // still running: creates to any device of such a stack wait.
  std::set<PDEVICE_OBJECT> startingStacks;
  // The device objects of each surprise-removed stack (by its physical
  // device object) until its IRP_MN_REMOVE_DEVICE is sent.
  std::map<PDEVICE_OBJECT, std::set<PDEVICE_OBJECT>> removePendingStacks;
  // Power IRP serialisation as on Windows 2000 and XP: per device object and
  // per power type (system, device), one set- or query-power IRP at a time
  // until its driver calls PoStartNextPowerIrp; later ones wait in order.
  struct PowerQueue {
    bool busy = false;
    std::deque<PIRP> waiting;
  };
  std::map<std::pair<PDEVICE_OBJECT, int>, PowerQueue> powerQueues;
  // System set-power IRPs that reached a bottom-of-stack device (a bus
  // driver's physical device object), by device.
  std::map<PDEVICE_OBJECT, int> systemSetPowerAtBus;
};

namespace kernel {

KernelState& State();
Verifier& Verify();
EventLog& Log();

// The driver whose routine runs on this thread (nullptr in winsim's code).
PDRIVER_OBJECT CurrentDriver();
std::string DriverName(PDRIVER_OBJECT driver);
std::string Hex(uint64_t value, int digits = 8);

// PoCallDriver's delivery, also for the power IRPs winsim sends itself: a
// set- or query-power IRP waits while its device has one of the same type
// that PoStartNextPowerIrp has not yet released (po_power.cpp).
NTSTATUS CallPowerDriver(PDEVICE_OBJECT device, PIRP irp);
// Calls a driver's dispatch routine for the IRP's current location and
// applies the verifier's dispatch rules (io_irp.cpp).
NTSTATUS CallDispatch(PDEVICE_OBJECT device, PIRP irp);
// Allocates an IRP owned by the I/O manager; onFinished runs when completion
// reaches the top and must free it with FreeIoManagerIrp.
PIRP AllocateIoManagerIrp(CCHAR stackSize, std::function<void(PIRP)> onFinished);
void FreeIoManagerIrp(PIRP irp);
// The power manager's watchdog (po_power.cpp): a power IRP that ends after
// being held longer than Windows allows is a finding; after a hang, each
// power IRP still held is named (a Hang event) and is a finding too.
void PowerIrpFinished(PIRP irp);
void ReportPowerIrpsHeld();
// Frees a device object whose deletion was deferred (io_device.cpp).
void ReleaseDeviceReference(PDEVICE_OBJECT device);
// The pool block that holds address, or nullptr (ex_pool.cpp).
const PoolBlock* FindPoolBlock(const void* address);
// Checks what a driver left behind at unload (ex_pool.cpp, io_remove_lock.cpp).
void CheckPoolAtUnload(PDRIVER_OBJECT driver);
void CheckRemoveLocksAtUnload(PDRIVER_OBJECT driver);
// DbgPrint's formatter (dbg_print.cpp).
std::string FormatDbgPrint(const char* format, va_list args);
// The namespace (ob_namespace.cpp). Insert fails on a taken name.
bool InsertDeviceName(std::u16string_view name, PDEVICE_OBJECT device);
void RemoveDeviceName(std::u16string_view name);
void CheckIrpsAndMdlsAtUnload(PDRIVER_OBJECT driver);
// Upper-cases an object name for lookup.
std::u16string FoldName(std::u16string_view name);
// A METHOD_BUFFERED system buffer of max(inputLength, outputLength) bytes:
// the input, then (as Windows does not zero it) a poison pattern.
std::vector<std::byte> MakeSystemBuffer(const void* input, ULONG inputLength, ULONG outputLength);
// Before Information bytes of a system buffer go back to the caller: a
// stretch beyond the input that still holds the poison was never written
// (system-buffer-unwritten). place names the finding's place, made only for
// a finding: the check runs for every request.
void CheckSystemBufferWritten(const std::vector<std::byte>& buffer, ULONG inputLength,
                              ULONG_PTR information, const std::function<std::string()>& place,
                              ULONG ioControlCode);

}  // namespace kernel
}  // namespace winsim
