// Every allocation quillfw makes, failed one at a time: the right status
// each time, nothing leaked (the verifier checks the pool, IRPs,
// MDLs, device objects and remove locks at driver unload).
#include <wdm.h>

#include <string>
#include <vector>

#include "driver_fixture.h"
#include "kernel/kernel.h"
#include "quillfw.h"

namespace driver_tests {
namespace {

using namespace winsim;
using namespace winsim::usb;

constexpr AllocationKind kPool = AllocationKind::Pool;
constexpr AllocationKind kIrp = AllocationKind::Irp;

// One failed allocation during the device's arrival.
struct ArrivalFault {
  AllocationKind kind;
  uint64_t ordinal;  // among the kind's allocations (of tag, if given)
  std::optional<ULONG> tag;
  std::string failedStep;  // "DriverEntry", "AddDevice" or "IRP_MN_START_DEVICE"
  NTSTATUS status;         // of that step
};

class ArrivalSweepTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {};

// The driver's allocations during an arrival with the default device: the
// service key and the name copy ("Wdm " 1, 2), eight URB IRPs (device
// descriptor, language list, three strings, configuration head, whole
// configuration, select configuration), three strings and the descriptor
// ("Wdm " 3 to 6), and the library's configuration request ("USBD" 1).
TEST_P(ArrivalSweepTest, TheArrivalMakesExactlyTheseAllocations) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    EXPECT_EQ(machine().Faults().Count(AllocationKind::Pool, kWdmTag), 6u);
    EXPECT_EQ(machine().Faults().Count(AllocationKind::Pool, kUsbdTag), 1u);
    EXPECT_EQ(machine().Faults().Count(AllocationKind::Irp), 8u);
    EXPECT_EQ(machine().Faults().Count(AllocationKind::Mdl), 0u);
  }));
}

TEST_P(ArrivalSweepTest, EachFailedAllocationGivesItsStatusAndLeaksNothing) {
  const std::string start = "IRP_MN_START_DEVICE";
  const NTSTATUS ok = STATUS_SUCCESS;
  const NTSTATUS noMemory = STATUS_INSUFFICIENT_RESOURCES;
  // In the order the arrival makes them (see the test above). A string
  // that cannot be read is left out of the trace; the start goes on.
  const std::vector<ArrivalFault> faults = {
      {kPool, 1, kWdmTag, "DriverEntry", noMemory},
      {kPool, 2, kWdmTag, "AddDevice", noMemory},
      {kPool, 3, kWdmTag, start, ok},
      {kPool, 4, kWdmTag, start, ok},
      {kPool, 5, kWdmTag, start, ok},
      {kPool, 6, kWdmTag, start, noMemory},
      {kPool, 1, kUsbdTag, start, noMemory},
      {kIrp, 1, {}, start, noMemory},
      {kIrp, 2, {}, start, ok},  // language list
      {kIrp, 3, {}, start, ok},
      {kIrp, 4, {}, start, ok},
      {kIrp, 5, {}, start, ok},
      {kIrp, 6, {}, start, noMemory},
      {kIrp, 7, {}, start, noMemory},
      {kIrp, 8, {}, start, noMemory},
  };
  for (const ArrivalFault& fault : faults) {
    SCOPED_TRACE(std::string(fault.kind == kPool ? "pool " : "IRP ") +
                 std::to_string(fault.ordinal) + (fault.tag == kUsbdTag ? " USBD" : ""));
    FreshMachine();
    machine().Faults().FailNth(fault.kind, fault.ordinal, fault.tag);
    ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [] {}));
    EXPECT_EQ(PnpStatus(fault.failedStep), kernel::StatusText(fault.status));
  }
}

INSTANTIATE_TEST_SUITE_P(BothModes, ArrivalSweepTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

// The transfer's allocations: the IRP, the context, the MDL over the
// payload and the MDL for pieces; and the IRP of an owed pipe reset.
struct TransferFault {
  const char* name;
  AllocationKind kind;
  uint64_t ordinal;  // counted from just before the write
  std::optional<ULONG> tag;
  bool owedReset;  // a failed transfer comes first
  NTSTATUS status;
};

class TransferSweepTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {};

TEST_P(TransferSweepTest, EachFailedAllocationFailsThatWriteOnly) {
  const NTSTATUS noMemory = STATUS_INSUFFICIENT_RESOURCES;
  const std::vector<TransferFault> faults = {
      {"TransferIrp", kIrp, 1, {}, false, noMemory},
      {"Context", kPool, 1, kWdmTag, false, noMemory},
      {"PayloadMdl", AllocationKind::Mdl, 1, {}, false, noMemory},
      {"PieceMdl", AllocationKind::Mdl, 2, {}, false, noMemory},
      {"OwedResetIrp", kIrp, 2, {}, true, STATUS_UNSUCCESSFUL},
      {"ContextAfterReset", kPool, 1, kWdmTag, true, noMemory},
  };
  DeviceScript device = UpdateModeDevice();
  // Every odd transfer fails (the owed-reset cases), the others succeed.
  for (uint32_t n = 1; n < 40; n += 2) device.faults.failTransfers.push_back({n, {}});
  ASSERT_TRUE(RunBus(TreeWith(device, GetParam()), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Write(handle, 5).ok);  // transfer 1 fails: a reset is owed
    EXPECT_TRUE(Write(handle, 5).ok);   // reset, transfer 2
    for (const TransferFault& fault : faults) {
      SCOPED_TRACE(fault.name);
      if (fault.owedReset) {
        EXPECT_FALSE(Write(handle, 5).ok);  // an odd transfer: fails, owes a reset
      }
      const size_t transfers = TransferLengths().size();
      const size_t resets = ResetCount();
      FaultInjector& injector = machine().Faults();
      injector.FailNth(fault.kind, injector.Count(fault.kind, fault.tag) + fault.ordinal,
                       fault.tag);
      const ControlResult write = Write(handle, 10000);
      EXPECT_FALSE(write.ok);
      EXPECT_EQ(write.error, ErrorFor(fault.status));
      EXPECT_EQ(TransferLengths().size(), transfers);  // nothing sent
      EXPECT_EQ(ResetCount(), resets + (fault.ordinal == 1 && fault.owedReset ? 1 : 0));
      // The reset was taken (or none was owed): the device is usable, with the
      // odd transfer failing as scripted and the even one going through.
      const ControlResult next = Write(handle, 5);
      if (TransferLengths().size() % 2 == 1) {
        EXPECT_FALSE(next.ok);
        EXPECT_TRUE(Write(handle, 5).ok);
      } else {
        EXPECT_TRUE(next.ok);
      }
    }
    CloseHandle(handle);
  }));
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransferSweepTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

}  // namespace
}  // namespace driver_tests
