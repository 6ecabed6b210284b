// Hostile sequences at quillfw: two handles sending requests at once, across
// a Plug and Play stop and restart and across system sleep. The driver
// serialises transfers: each request's pieces reach the device together.
#include <gtest/gtest.h>

#include <algorithm>

#include "driver_fixture.h"
#include "ground/exploration.h"
#include "kernel/kernel.h"

namespace driver_tests {
namespace {

using winsim::usb::CompletionMode;
using winsim::usb::DeviceRequest;
using winsim::usb::RequestKind;
namespace pnp = winsim::pnp;

// One write sent from a thread of its own.
struct Writer {
  DriverTest* test;
  HANDLE handle;
  uint32_t count;
  uint8_t seed;
  ControlResult result;
  HANDLE thread = nullptr;
};

void StartWriter(Writer& writer) {
  writer.thread = CreateThread(
      nullptr, 0,
      [](LPVOID parameter) -> DWORD {
        Writer* w = static_cast<Writer*>(parameter);
        w->result = w->test->Write(w->handle, w->count, w->seed);
        return 0;
      },
      &writer, 0, nullptr);
  ASSERT_NE(writer.thread, nullptr);
}

bool Finished(const Writer& writer) {
  return WaitForSingleObject(writer.thread, 0) == WAIT_OBJECT_0;
}

void Delay(int milliseconds) {
  LARGE_INTEGER wait;
  wait.QuadPart = -static_cast<LONGLONG>(milliseconds) * winsim::kTicksPerMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

// What happens while the two handles' writes are under way.
// SleepMidTransfer: the machine sleeps while the first request's pieces are
// on the bus.
enum class Between { StopAndRestart, Sleep, SleepMidTransfer };

struct TwoHandleCase {
  const char* name;
  Between between;
  CompletionMode mode;
};

void PrintTo(const TwoHandleCase& c, std::ostream* out) { *out << c.name; }

const TwoHandleCase kCases[] = {
    {"StopAndRestartAsync", Between::StopAndRestart, CompletionMode::Asynchronous},
    {"StopAndRestartInline", Between::StopAndRestart, CompletionMode::Inline},
    {"SleepAsync", Between::Sleep, CompletionMode::Asynchronous},
    {"SleepInline", Between::Sleep, CompletionMode::Inline},
    {"SleepMidTransferAsync", Between::SleepMidTransfer, CompletionMode::Asynchronous},
};

class TwoHandleTest : public DriverTest, public testing::WithParamInterface<TwoHandleCase> {
 protected:
  // pinned: also check what only the default schedule orders (what has
  // reached the device, and who has finished, at given moments).
  void RunTwoRounds(bool pinned);
};

// Two handles write at once, twice, with a stop and restart or a sleep
// before the second round (the second round is sent while the machine
// sleeps and must wait for the wake). Every write succeeds and each
// request's bytes arrive whole, never mixed with the other's.
TEST_P(TwoHandleTest, WritesAreServedWholeOneAfterTheOther) { RunTwoRounds(true); }

// The same under explored schedules (PCT seeds): whatever the interleaving,
// no hang, no finding, every write succeeds with its bytes whole.
TEST_P(TwoHandleTest, WritesAreServedWholeInEveryExploredSchedule) {
  constexpr uint64_t kSchedules = 30;
  for (uint64_t seed = 1; seed <= kSchedules && !HasFailure(); ++seed) {
    winsim::ExploreConfig schedule;
    schedule.strategy = winsim::ExploreStrategy::Pct;
    schedule.seed = seed;
    schedule.steps = 200;
    FreshMachine(winsim::OsFamily::WindowsNt, schedule);
    RunTwoRounds(false);
    if (HasFailure()) {
      std::string switches;
      for (const auto& record : machine().Sched().Switches()) {
        switches += "\n  " + winsim::Describe(record);
      }
      ADD_FAILURE() << "PCT seed " << seed << ", switches:" << switches;
    }
  }
}

void TwoHandleTest::RunTwoRounds(bool pinned) {
  const TwoHandleCase& c = GetParam();
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), c.mode), [&] {
    HANDLE first = OpenDevice();
    HANDLE second = OpenDevice();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    std::vector<std::vector<uint8_t>> expected;  // per request, in any order within a round
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      if (round == 1 && c.between == Between::StopAndRestart) {
        pnp::StopAndRestart(UpdateModeNode());
        pnp::WaitIdle();
        ASSERT_EQ(pnp::State(UpdateModeNode()), pnp::NodeState::Started);
      }
      if (round == 1 && c.between == Between::Sleep) {
        ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
      }
      const size_t before = TransferLengths().size();
      Writer writers[2] = {{this, first, 9000, static_cast<uint8_t>(1 + round * 50), {}},
                           {this, second, 264, static_cast<uint8_t>(25 + round * 50), {}}};
      for (Writer& writer : writers) StartWriter(writer);
      if (round == 1 && c.between == Between::Sleep) {
        Delay(5000);
        EXPECT_FALSE(Finished(writers[0]));
        EXPECT_FALSE(Finished(writers[1]));
        EXPECT_EQ(TransferLengths().size(), before);  // nothing reached the device
        pnp::SystemWake();
      }
      if (round == 1 && c.between == Between::SleepMidTransfer && !pinned) {
        Delay(2);
        ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        Delay(5000);
        pnp::SystemWake();
      }
      if (round == 1 && c.between == Between::SleepMidTransfer && pinned) {
        Delay(2);
        const size_t atSleep = TransferLengths().size();
        ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        // The request under way ends whole before the device goes to D3;
        // the other waits for the wake, with nothing sent meanwhile. Neither
        // thread ends while the machine sleeps: the one whose request ended
        // returns to user mode only at the wake.
        const size_t asleep = TransferLengths().size();
        EXPECT_GT(asleep, atSleep);
        Delay(5000);
        EXPECT_EQ(TransferLengths().size(), asleep);
        EXPECT_FALSE(Finished(writers[0]) || Finished(writers[1]));
        pnp::SystemWake();
      }
      for (Writer& writer : writers) {
        EXPECT_EQ(WaitForSingleObject(writer.thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(writer.thread);
        EXPECT_TRUE(writer.result.ok) << writer.result.error;
        expected.push_back(Payload(writer.count, writer.seed));
      }
    }
    CloseHandle(first);
    CloseHandle(second);

    // Reassemble the requests from the pieces: a 9000-byte request is three
    // pieces (4096, 4096, 808) that must follow one another.
    std::vector<std::vector<uint8_t>> requests;
    const auto& recorded = Device().Requests();
    for (size_t i = 0; i < recorded.size(); ++i) {
      const DeviceRequest& r = recorded[i];
      if (r.kind != RequestKind::Transfer || r.in) continue;
      EXPECT_TRUE(NT_SUCCESS(r.status));
      const bool unfinished =
          !requests.empty() && requests.back().size() >= 4096 && requests.back().size() % 4096 == 0;
      if (unfinished && r.data.size() != 264) {
        requests.back().insert(requests.back().end(), r.data.begin(), r.data.end());
      } else {
        requests.push_back(r.data);
      }
    }
    ASSERT_EQ(requests.size(), 4u);
    for (int round = 0; round < 2; ++round) {
      std::vector<std::vector<uint8_t>> got(requests.begin() + round * 2,
                                            requests.begin() + round * 2 + 2);
      std::vector<std::vector<uint8_t>> want(expected.begin() + round * 2,
                                             expected.begin() + round * 2 + 2);
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
      EXPECT_EQ(got, want) << "round " << round;
    }
  }));
}

INSTANTIATE_TEST_SUITE_P(Hostile, TwoHandleTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<TwoHandleCase>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace driver_tests
