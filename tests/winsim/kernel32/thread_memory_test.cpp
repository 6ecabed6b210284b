// Threads, waits and sleeps on the virtual clock; global memory.
#include "kernel32_machine.h"

#include <cstring>
#include <string>
#include <vector>

#include "crt/crt_heap.h"

namespace k32test {
namespace {

using ThreadTest = Kernel32MachineTest;
using MemoryTest = Kernel32MachineTest;

struct Trace {
  std::string steps;
  void Add(const std::string& step) { steps += step + ";"; }
};

DWORD WINAPI SleepThenReturnSeven(LPVOID parameter) {
  auto* trace = static_cast<Trace*>(parameter);
  SetLastError(ERROR_CRC);  // its own last error, not the creator's
  SleepEx(250, TRUE);
  trace->Add("worker woke");
  return 7;
}

TEST_F(ThreadTest, WaitsAndSleepsFollowTheVirtualClock) {
  Trace trace;
  ASSERT_TRUE(RunApp([this, &trace] {
    SetLastError(ERROR_GEN_FAILURE);
    DWORD id = 0;
    const HANDLE thread = CreateThread(NULL, 0, SleepThenReturnSeven, &trace, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());

    EXPECT_EQ(WaitForSingleObject(thread, 100), DWORD{WAIT_TIMEOUT});
    EXPECT_EQ(NowMs(), 100.0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, DWORD{STILL_ACTIVE});

    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(NowMs(), 250.0);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signaled
    EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
    trace.Add("main saw the end");
    EXPECT_TRUE(CloseHandle(thread));
  }));
  EXPECT_EQ(trace.steps, "worker woke;main saw the end;");
}

DWORD WINAPI RecordIdAndExitEarly(LPVOID parameter) {
  *static_cast<DWORD*>(parameter) = GetCurrentThreadId();
  ExitThread(3);
}

TEST_F(ThreadTest, ExitThreadEndsTheThreadWithItsCode) {
  DWORD seenId = 0;
  DWORD createdId = 0;
  DWORD code = 0;
  ASSERT_TRUE(RunApp([&] {
    const HANDLE thread = CreateThread(NULL, 0, RecordIdAndExitEarly, &seenId, 0, &createdId);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
  }));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(seenId, createdId);
}

struct ThreadStart {
  DWORD lastError = 0;
  DWORD id = 0;
};

DWORD WINAPI RecordStartThenSpoilLastError(LPVOID parameter) {
  auto* start = static_cast<ThreadStart*>(parameter);
  start->lastError = GetLastError();
  start->id = GetCurrentThreadId();
  SetLastError(ERROR_CRC);
  return 0;
}

// Host threads are reused once their simulated thread ends: nothing of the
// thread before may show in the next (Windows starts each at last error 0).
TEST_F(ThreadTest, EachThreadStartsWithItsOwnIdAndNoLastError) {
  ThreadStart starts[3];
  DWORD createdIds[3] = {};
  ASSERT_TRUE(RunApp([&] {
    for (int i = 0; i < 3; ++i) {
      const HANDLE thread =
          CreateThread(NULL, 0, RecordStartThenSpoilLastError, &starts[i], 0, &createdIds[i]);
      ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
      CloseHandle(thread);
    }
  }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(starts[i].lastError, DWORD{ERROR_SUCCESS}) << i;
    EXPECT_EQ(starts[i].id, createdIds[i]) << i;
  }
  EXPECT_NE(createdIds[0], createdIds[1]);
  EXPECT_NE(createdIds[1], createdIds[2]);
}

DWORD WINAPI AppendName(LPVOID parameter) {
  static_cast<Trace*>(parameter)->Add("suspended one ran");
  return 0;
}

TEST_F(ThreadTest, ASuspendedThreadRunsOnlyOnceResumed) {
  Trace trace;
  ASSERT_TRUE(RunApp([&trace] {
    const HANDLE thread = CreateThread(NULL, 0, AppendName, &trace, CREATE_SUSPENDED, NULL);
    SleepEx(1000, FALSE);
    trace.Add("main slept");
    EXPECT_EQ(ResumeThread(thread), 1u);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }));
  EXPECT_EQ(trace.steps, "main slept;suspended one ran;");
}

struct EventWaiter {
  HANDLE event;
  Trace* trace;
  const char* name;
};

DWORD WINAPI WaitForEvent(LPVOID parameter) {
  auto* waiter = static_cast<EventWaiter*>(parameter);
  if (WaitForSingleObject(waiter->event, 500) == WAIT_OBJECT_0) {
    waiter->trace->Add(std::string(waiter->name) + " got it");
  } else {
    waiter->trace->Add(std::string(waiter->name) + " timed out");
  }
  return 0;
}

TEST_F(ThreadTest, AnAutoResetEventReleasesOneWaiterAManualOneAll) {
  struct Case {
    BOOL manualReset;
    const char* expected;
  };
  const Case cases[] = {
      {FALSE, "a got it;b timed out;"},
      {TRUE, "a got it;b got it;"},
  };
  for (const Case& c : cases) {
    Trace trace;
    ASSERT_TRUE(RunApp([&] {
      const HANDLE event = CreateEventA(NULL, c.manualReset, FALSE, NULL);
      EventWaiter a{event, &trace, "a"};
      EventWaiter b{event, &trace, "b"};
      const HANDLE threads[] = {CreateThread(NULL, 0, WaitForEvent, &a, 0, NULL),
                                CreateThread(NULL, 0, WaitForEvent, &b, 0, NULL)};
      SleepEx(10, FALSE);
      SetEvent(event);
      for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
      }
      CloseHandle(event);
    }));
    EXPECT_EQ(trace.steps, c.expected) << "manual reset " << c.manualReset;
  }
}

TEST_F(MemoryTest, GptrBlocksAreZeroFilledAndFixedOnesAreNot) {
  ASSERT_TRUE(RunApp([] {
    auto* zeroed = static_cast<BYTE*>(GlobalAlloc(GPTR, 365));
    auto* fixed = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, 16));
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(fixed, nullptr);
    for (int i = 0; i < 365; ++i) {
      ASSERT_EQ(zeroed[i], 0) << i;
    }
    EXPECT_EQ(fixed[0], 0xBA);
    EXPECT_EQ(winsim::kernel32::OutstandingGlobalBlocks(), 2u);
    EXPECT_EQ(GlobalFree(zeroed), nullptr);
    EXPECT_EQ(GlobalFree(fixed), nullptr);
    EXPECT_EQ(GlobalFree(NULL), nullptr);
    EXPECT_EQ(GlobalAlloc(GHND, 8), nullptr);  // moveable blocks are not offered
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  }));
}

TEST_F(MemoryTest, TheNthAllocationFailsWhenInjected) {
  winsim::kernel32::FailGlobalAllocNth(2);
  ASSERT_TRUE(RunApp([] {
    void* first = GlobalAlloc(GPTR, 10);
    SetLastError(ERROR_SUCCESS);
    void* second = GlobalAlloc(GPTR, 10);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});
    void* third = GlobalAlloc(GPTR, 10);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(winsim::kernel32::GlobalAllocCount(), 3u);
    GlobalFree(first);
    GlobalFree(third);
  }));
  // The plan ended with the run.
  ASSERT_TRUE(RunApp([] {
    void* first = GlobalAlloc(GPTR, 10);
    void* second = GlobalAlloc(GPTR, 10);
    EXPECT_NE(second, nullptr);
    GlobalFree(first);
    GlobalFree(second);
  }));
}

TEST_F(MemoryTest, LeakedAndForeignBlocksAreFindings) {
  machine_.Verify().Expect(winsim::rule::kGlobalLeak);
  machine_.Verify().Expect(winsim::rule::kGlobalBadFree);
  ASSERT_TRUE(RunApp([] {
    Sleep(250);  // a place's time other than the start
    ASSERT_NE(GlobalAlloc(GPTR, 512), nullptr);
    void* freed = GlobalAlloc(GPTR, 4);
    GlobalFree(freed);
    EXPECT_EQ(GlobalFree(freed), freed);  // a second free fails
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
  }));
  const auto leaks = FindingsOf(winsim::rule::kGlobalLeak);
  ASSERT_EQ(leaks.size(), 1u);
  EXPECT_NE(leaks[0].detail.find("#1 of 512 bytes"), std::string::npos) << leaks[0].detail;
  // The block keeps its place in parts; the finding formats it in full.
  EXPECT_EQ(leaks[0].place, "GlobalAlloc on thread 'main' at 0.250000 s");
  EXPECT_EQ(FindingsOf(winsim::rule::kGlobalBadFree).size(), 1u);
  EXPECT_EQ(winsim::kernel32::OutstandingGlobalBlocks(), 0u);
}

// The program's C heap, counted: planned failures return null, and a block
// left at the program's end is a finding (only while counted).
TEST_F(MemoryTest, TheCountedCHeapFailsAsPlannedAndReportsWhatIsLeft) {
  machine_.Verify().Expect(winsim::rule::kHeapLeak);
  using winsim::crt::HeapFaults;
  void* kept = nullptr;
  ASSERT_TRUE(RunApp([&kept] {
    void* before = winsim_crt_malloc(8);  // not counted: freed untracked
    HeapFaults::Arm(2);
    HeapFaults::FailAt(3);
    kept = winsim_crt_calloc(4, 6);
    EXPECT_EQ(winsim_crt_malloc(1), nullptr);
    EXPECT_EQ(winsim_crt_calloc(1, 1), nullptr);
    void* freed = winsim_crt_malloc(16);
    EXPECT_NE(kept, nullptr);
    EXPECT_NE(freed, nullptr);
    winsim_crt_free(freed);
    winsim_crt_free(before);
    EXPECT_EQ(HeapFaults::Allocations(), 4u);
    EXPECT_EQ(HeapFaults::Sizes(), (std::vector<size_t>{24, 1, 1, 16}));
  }));
  const auto leaks = FindingsOf(winsim::rule::kHeapLeak);
  HeapFaults::Disarm();
  ASSERT_EQ(leaks.size(), 1u);
  EXPECT_NE(leaks[0].detail.find("#1 of 24 bytes"), std::string::npos) << leaks[0].detail;
  EXPECT_NE(leaks[0].place.find("calloc on thread"), std::string::npos) << leaks[0].place;
  // Counted while armed, freed after: no longer outstanding.
  winsim_crt_free(kept);
  EXPECT_EQ(HeapFaults::Outstanding(), 0);
}

}  // namespace
}  // namespace k32test
