// Kernel services: DbgPrint, MDLs, remove locks, events and the clock,
// hangs, fault injection, WDM versions, power requests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdio>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"
#include "sim_machine.h"
#include "test_drivers.h"

using namespace winsim;
using namespace winsim::kernel;

namespace {

using KernelServicesTest = testing_support::SimMachineTest;

TEST_F(KernelServicesTest, DbgPrintFormatsEveryTraceConversion) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, L"\\Registry\\Machine\\Quill");
  void* address = reinterpret_cast<void*>(uintptr_t{0x1234567890ABCDEF});
  DbgPrint("QUILLDEV - Entering DriverEntry: DriverObject %8.8lX\n", address);
  DbgPrint("QUILLDEV - Expected version of WDM (%d.%2.2d) not available\n", 1, 0);
  DbgPrint("%s Exit with FAILURE = %x\n", "DispatchPnp", STATUS_UNSUCCESSFUL);
  DbgPrint("Error %X at 0x%x\n", 0xc000009a, 0x2a);
  DbgPrint("key %wZ / %ws / %S\n", &path, L"wide", L"caps");
  DbgPrint("%-4d|%5s|%c|%%|%p\n", 7, "ab", 'z', address);
  DbgPrint("no newline");
  EXPECT_EQ(machine().Log().Texts(EventKind::DbgPrint),
            (std::vector<std::string>{"QUILLDEV - Entering DriverEntry: DriverObject 90ABCDEF",
                                      "QUILLDEV - Expected version of WDM (1.00) not available",
                                      "DispatchPnp Exit with FAILURE = c0000001",
                                      "Error C000009A at 0x2a",
                                      "key \\Registry\\Machine\\Quill / wide / caps",
                                      "7   |   ab|z|%|90ABCDEF", "no newline"}));
}

// The event log's hex fields: "0x", at least `digits` upper-case digits.
TEST(KernelHex, WritesWhatPrintfWouldForEveryWidth) {
  const uint64_t values[] = {
      0, 1, 0xF, 0x10, 0xC0000001, 0xFFFFFFFF, 0x100000000, 0x1234567890ABCDEF, ~uint64_t{0}};
  for (const uint64_t value : values) {
    for (const int digits : {0, 1, 2, 4, 8, 16, 20}) {
      char expected[64];
      std::snprintf(expected, sizeof expected, "0x%0*llX", digits,
                    static_cast<unsigned long long>(value));
      EXPECT_EQ(Hex(value, digits), expected) << value << " " << digits;
    }
  }
  EXPECT_EQ(StatusText(STATUS_UNSUCCESSFUL), "0xC0000001");
}

TEST_F(KernelServicesTest, PartialMdlsDescribePiecesOfTheSource) {
  // Page-aligned, so the page counts below do not depend on the heap.
  alignas(PAGE_SIZE) static UCHAR buffer[3 * PAGE_SIZE];
  PUCHAR start = buffer + 100;
  struct Case {
    ULONG offset, length, expectedCount;
  };
  const Case cases[] = {
      {0, 4096, 4096}, {4096, 4096, 4096}, {8192, 1808, 1808}, {5000, 0, 10000 - 5000}, {0, 1, 1}};
  PMDL source = IoAllocateMdl(start, 10000, FALSE, FALSE, nullptr);
  ASSERT_NE(source, nullptr);
  MmBuildMdlForNonPagedPool(source);
  EXPECT_EQ(MmGetMdlVirtualAddress(source), start);
  EXPECT_EQ(MmGetMdlByteCount(source), 10000u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(source, NormalPagePriority), start);
  PMDL partial = IoAllocateMdl(start, 4096, FALSE, FALSE, nullptr);
  for (const Case& c : cases) {
    IoBuildPartialMdl(source, partial, start + c.offset, c.length);
    EXPECT_EQ(MmGetMdlVirtualAddress(partial), start + c.offset);
    EXPECT_EQ(MmGetMdlByteCount(partial), c.expectedCount);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority), start + c.offset);
    EXPECT_EQ(MmGetMdlPfnArray(partial)[0],
              reinterpret_cast<ULONG_PTR>(start + c.offset) >> PAGE_SHIFT);
  }
  IoFreeMdl(partial);
  IoFreeMdl(source);
}

// What a checked kernel asserts about MDLs, one misuse at a time.
TEST_F(KernelServicesTest, MdlMisuseIsAFindingOfItsRule) {
  alignas(PAGE_SIZE) static UCHAR buffer[3 * PAGE_SIZE];
  PUCHAR start = buffer + 100;
  struct Case {
    const char* name;
    std::function<void(PMDL source, PMDL partial)> misuse;
    std::string_view rule;
  };
  const Case cases[] = {
      {"allocated for 0 bytes",
       [&](PMDL, PMDL) { IoFreeMdl(IoAllocateMdl(start, 0, FALSE, FALSE, nullptr)); },
       rule::kMdlZeroLength},
      {"built for 0 bytes",
       [&](PMDL, PMDL partial) {
         partial->ByteCount = 0;
         MmBuildMdlForNonPagedPool(partial);
       },
       rule::kMdlZeroLength},
      // 9,000 bytes span three pages; the partial MDL has room for two.
      {"partial beyond its own size",
       [&](PMDL source, PMDL partial) { IoBuildPartialMdl(source, partial, start, 9000); },
       rule::kMdlRange},
      {"partial beyond the source",
       [&](PMDL source, PMDL partial) { IoBuildPartialMdl(source, partial, start + 9000, 1001); },
       rule::kMdlRange},
      {"partial before the source",
       [&](PMDL source, PMDL partial) { IoBuildPartialMdl(source, partial, start - 1, 1); },
       rule::kMdlRange},
      // "The rest of the source" from its end would be an empty MDL.
      {"partial from the source's end",
       [&](PMDL source, PMDL partial) { IoBuildPartialMdl(source, partial, start + 10000, 0); },
       rule::kMdlRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.reset();
    machine_ = std::make_unique<Machine>();
    PMDL source = IoAllocateMdl(start, 10000, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(source);
    PMDL partial = IoAllocateMdl(start, 4096, FALSE, FALSE, nullptr);
    c.misuse(source, partial);
    std::vector<std::string> rules;
    for (const Finding& finding : machine().Verify().Findings()) rules.push_back(finding.rule);
    EXPECT_EQ(rules, std::vector<std::string>{std::string(c.rule)});
    machine().Verify().Expect(c.rule);
    IoFreeMdl(partial);
    IoFreeMdl(source);
  }
}

TEST_F(KernelServicesTest, RemoveLockWaitsForHoldersAndRefusesAfterRemoval) {
  std::vector<std::string> steps;
  RunOnMachine([&] {
    static IO_REMOVE_LOCK lock;
    IoInitializeRemoveLockEx(&lock, 'kcoL', 0, 100, sizeof lock);
    int open = 1, irp = 2;
    ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &open, "t", 1, sizeof lock), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLockEx(&lock, &irp, "t", 2, sizeof lock), STATUS_SUCCESS);
    Machine::Current().Sched().CreateThread("closer", [&] {
      steps.push_back("closer releases");
      IoReleaseRemoveLockEx(&lock, &open, sizeof lock);
    });
    IoReleaseRemoveLockAndWaitEx(&lock, &irp, sizeof lock);
    steps.push_back("removal done");
    EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &irp, "t", 3, sizeof lock), STATUS_DELETE_PENDING);
  });
  EXPECT_EQ(steps, (std::vector<std::string>{"closer releases", "removal done"}));
}

TEST_F(KernelServicesTest, TimedWaitsMoveTheVirtualClockAndEventsWakeWaiters) {
  RunOnMachine([&] {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -50 * kTicksPerMillisecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(Machine::Current().Sched().Now(), 50 * kTicksPerMillisecond);
    Machine::Current().Sched().Schedule(30 * kTicksPerMillisecond, "setter",
                                        [&] { KeSetEvent(&event, 0, FALSE); });
    timeout.QuadPart = -1000 * kTicksPerMillisecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    EXPECT_EQ(Machine::Current().Sched().Now(), 80 * kTicksPerMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 0)
        << "a synchronization event resets when it releases a waiter";
  });
}

TEST_F(KernelServicesTest, HangIsReportedWithTheWaitingThread) {
  machine().Verify().Expect(rule::kHang);
  const bool completed = machine().Run([] {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    RoutineScope scope(nullptr, "StuckRoutine");
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    ADD_FAILURE() << "the wait returned";
  });
  EXPECT_FALSE(completed);
  const auto hangs = machine().Log().OfKind(EventKind::Hang);
  ASSERT_EQ(hangs.size(), 1u);
  EXPECT_NE(hangs[0].text.find("thread 'main' waits in KeWaitForSingleObject"), std::string::npos)
      << hangs[0].text;
  EXPECT_NE(hangs[0].text.find("StuckRoutine"), std::string::npos);
}

TEST_F(KernelServicesTest, FaultInjectionFailsTheNthAllocationOfAKind) {
  const ULONG tag = PoolTag("Wdm ");
  machine().Faults().FailNth(AllocationKind::Pool, 2, tag);
  machine().Faults().FailNth(AllocationKind::Irp, 1);
  machine().Faults().FailNth(AllocationKind::Mdl, 2);
  std::vector<void*> blocks;
  blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, PoolTag("Othr")));
  blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, tag));
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, tag), nullptr) << "second with the tag";
  blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, tag));
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_NE(irp, nullptr);
  PMDL mdl = IoAllocateMdl(blocks[0], 4, FALSE, FALSE, nullptr);
  EXPECT_EQ(IoAllocateMdl(blocks[0], 4, FALSE, FALSE, nullptr), nullptr);
  EXPECT_EQ(machine().Faults().Count(AllocationKind::Pool), 4u);
  EXPECT_EQ(machine().Faults().Count(AllocationKind::Pool, tag), 3u);
  EXPECT_EQ(machine().Faults().Count(AllocationKind::Irp), 2u);
  for (void* block : blocks) ExFreePool(block);
  IoFreeIrp(irp);
  IoFreeMdl(mdl);
}

// In real-time mode a timed wait takes as long on the wall clock as on the
// virtual one (a few milliseconds here); the virtual clock still moves by
// exactly the wait.
TEST_F(KernelServicesTest, RealTimeClockWaitsOnTheWallClock) {
  MachineConfig config;
  config.clock = ClockMode::RealTime;
  machine_.reset();  // one machine at a time
  machine_ = std::make_unique<Machine>(config);
  std::chrono::steady_clock::duration elapsed{};
  RunOnMachine([&] {
    const auto start = std::chrono::steady_clock::now();
    LARGE_INTEGER wait;
    wait.QuadPart = -5 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Machine::Current().Sched().Now(), 5 * kTicksPerMillisecond);
  });
  EXPECT_GE(elapsed, std::chrono::milliseconds(5));
}

TEST_F(KernelServicesTest, WdmVersionFollowsTheOperatingSystem) {
  struct Case {
    OsFamily os;
    BOOLEAN v100, v110;
  };
  for (const Case& c :
       {Case{OsFamily::Windows98, TRUE, FALSE}, Case{OsFamily::WindowsNt, TRUE, TRUE},
        Case{OsFamily::NoWdm, FALSE, FALSE}}) {
    machine().SetOs(c.os);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0), c.v100);
    EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10), c.v110);
  }
}

TEST_F(KernelServicesTest, PowerRequestReachesTheStackAndCallsItsCompletion) {
  struct Result {
    int calls = 0;
    NTSTATUS status = 0;
  };
  static Result result;
  result = {};
  RunOnMachine([&] {
    PDRIVER_OBJECT bus = LoadDriver("TestBus", test_drivers::BusDriverEntry, nullptr);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    auto completion = [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE power, PVOID,
                         PIO_STATUS_BLOCK status) {
      EXPECT_EQ(minor, IRP_MN_SET_POWER);
      EXPECT_EQ(power.DeviceState, PowerDeviceD3);
      ++result.calls;
      result.status = status->Status;
    };
    EXPECT_EQ(PoRequestPowerIrp(test_drivers::BusPdo(), IRP_MN_SET_POWER, state, completion,
                                nullptr, nullptr),
              STATUS_PENDING);
    ScriptPowerRequestFailure(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PoRequestPowerIrp(test_drivers::BusPdo(), IRP_MN_SET_POWER, state, completion,
                                nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    IoDeleteDevice(test_drivers::BusPdo());
    UnloadDriver(bus);
  });
  EXPECT_EQ(result.calls, 1);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(test_drivers::BusRequests(), std::vector<UCHAR>{IRP_MJ_POWER});
}

TEST_F(KernelServicesTest, UnicodeStringCopyStopsAtTheDestinationsRoom) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, L"\\Device\\QUILLDEV");
  EXPECT_EQ(source.Length, 32);
  EXPECT_EQ(source.MaximumLength, 34);
  WCHAR room[8];
  UNICODE_STRING small = {0, sizeof room, room};
  RtlCopyUnicodeString(&small, &source);
  EXPECT_EQ(small.Length, 16);
  EXPECT_EQ(Narrow(&small), "\\Device\\");
  EXPECT_EQ(RtlAppendUnicodeToString(&small, L"x"), STATUS_BUFFER_TOO_SMALL);
  UNICODE_STRING copy = {0, 34,
                         static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 34, PoolTag("Wdm ")))};
  RtlCopyUnicodeString(&copy, &source);
  EXPECT_TRUE(RtlEqualUnicodeString(&copy, &source, FALSE));
  EXPECT_EQ(copy.Buffer[16], 0) << "terminated when there is room";
  RtlFreeUnicodeString(&copy);
  EXPECT_EQ(copy.Buffer, nullptr);
}

}  // namespace
