// Kernel services the whole-program runs do not reach: partial MDLs, MDL
// misuse, the remove lock's wait and refusal, a synchronization event's
// reset, the WDM versions, DbgPrint's precision, the real-time clock, user
// mode held while the machine sleeps (fault injection is the driver's
// sweeps').
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "sim_machine.h"

using namespace winsim;
using namespace winsim::kernel;

namespace {

using KernelServicesTest = testing_support::SimMachineTest;

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

// A synchronization event's signal goes to one waiter: once it has
// released the waiter, the event is no longer signalled.
TEST_F(KernelServicesTest, ASynchronizationEventReleasesOneWaiterAndResets) {
  RunOnMachine([&] {
    static KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    bool released = false;
    Machine::Current().Sched().CreateThread("waiter", [&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      released = true;
    });
    LARGE_INTEGER tick;
    tick.QuadPart = -1;
    KeDelayExecutionThread(KernelMode, FALSE, &tick);  // the waiter waits
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeDelayExecutionThread(KernelMode, FALSE, &tick);
    EXPECT_TRUE(released);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &tick), STATUS_TIMEOUT);
  });
}

// Each system answers for the WDM versions it has (a driver tells Windows 98
// from Windows 2000 and XP by them).
TEST_F(KernelServicesTest, WdmVersionsFollowTheSystem) {
  struct Row {
    OsFamily os;
    bool wdm100, wdm110, wdm120;
  };
  for (const Row& row :
       {Row{OsFamily::Windows98, true, false, false}, Row{OsFamily::Windows2000, true, true, false},
        Row{OsFamily::WindowsNt, true, true, true}, Row{OsFamily::NoWdm, false, false, false}}) {
    machine_->SetOs(row.os);
    RunOnMachine([&] {
      EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x00) != FALSE, row.wdm100);
      EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x10) != FALSE, row.wdm110);
      EXPECT_EQ(IoIsWdmVersionAvailable(1, 0x20) != FALSE, row.wdm120);
    });
  }
}

// A call to a routine that the machine's family does not export is a
// finding (the driver would not have loaded there); where the family has it,
// or the fact is unconfirmed, there is none.
TEST_F(KernelServicesTest, ACallToARoutineTheFamilyLacksIsAFinding) {
  struct Row {
    OsFamily os;
    bool initializeMissing, waitMissing;
  };
  for (const Row& row :
       {Row{OsFamily::Windows98, true, true}, Row{OsFamily::Windows98SE, false, true},
        Row{OsFamily::WindowsMe, false, true}, Row{OsFamily::Windows2000, false, false},
        Row{OsFamily::WindowsNt, false, false}}) {
    SCOPED_TRACE(static_cast<int>(row.os));
    machine_->SetOs(row.os);
    machine_->Verify().Expect(rule::kImportMissing);
    machine_->Verify().Expect(rule::kRemoveLockUnmatched);  // a wait with no acquisition
    ASSERT_EQ(&Machine::Current(), machine_.get());
    const auto missing = [&] {
      size_t count = 0;
      for (const Finding& finding : Machine::Current().Verify().Findings()) {
        count += finding.rule == rule::kImportMissing;
      }
      return count;
    };
    size_t initialize = 0, wait = 0;
    RunOnMachine([&] {
      const size_t before = missing();
      IO_REMOVE_LOCK lock;
      IoInitializeRemoveLockEx(&lock, 'kcoL', 0, 0, sizeof(lock));
      initialize = missing() - before;
      IoReleaseRemoveLockAndWaitEx(&lock, nullptr, sizeof(lock));
      wait = missing() - before - initialize;
    });
    EXPECT_EQ(initialize, row.initializeMissing ? 1u : 0u);
    EXPECT_EQ(wait, row.waitMissing ? 1u : 0u);
  }
}

// DbgPrint formats as the kernel's printf does, precision included.
TEST_F(KernelServicesTest, DbgPrintKeepsAConversionsPrecision) {
  RunOnMachine([&] { DbgPrint("WDM (%d.%2.2d)\n", 1, 0); });
  std::string last;
  for (const Event& event : machine_->Log().Since(0)) {
    if (event.kind == EventKind::DbgPrint) last = event.text;
  }
  EXPECT_EQ(last.substr(0, 10), "WDM (1.00)");
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

// While user mode is held (the machine sleeps) no user-mode thread runs, not
// even one whose sleep or scheduled start came due; kernel threads and the
// clock go on. At the release what came due runs, in the order it came due.
TEST_F(KernelServicesTest, HeldUserModeRunsNoUserThreadUntilTheRelease) {
  constexpr VirtualTime kMs = kTicksPerMillisecond;
  std::vector<std::string> ran;
  RunOnMachine([&] {
    Scheduler& scheduler = machine().Sched();
    scheduler.CreateThread(
        "user",
        [&] {
          scheduler.SleepUntil(10 * kMs);
          ran.push_back("user sleep at " + std::to_string(scheduler.Now() / kMs));
        },
        PASSIVE_LEVEL, false, true);
    scheduler.Schedule(
        5 * kMs, "user timer",
        [&] { ran.push_back("user timer at " + std::to_string(scheduler.Now() / kMs)); }, true);
    scheduler.Yield();  // the user thread starts its sleep
    scheduler.SetUserModeHeld(true);
    scheduler.CreateThread(
        "kernel", [&] { ran.push_back("kernel at " + std::to_string(scheduler.Now() / kMs)); });
    scheduler.SleepUntil(100 * kMs);
    scheduler.SetUserModeHeld(false);
    scheduler.SleepUntil(101 * kMs);
  });
  EXPECT_EQ(ran,
            (std::vector<std::string>{"kernel at 0", "user timer at 100", "user sleep at 100"}));
}

}  // namespace
