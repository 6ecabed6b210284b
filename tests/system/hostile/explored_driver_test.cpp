// Hostile sequences at quillfw under explored schedules (PCT seeds and every
// schedule with one preemption): what must hold in every interleaving. No
// hang, no verifier finding, and a truthful result: a write that succeeds
// delivered its bytes whole and in order; one that fails says so.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "ground/exploration.h"
#include "kernel/kernel.h"

namespace driver_tests {
namespace {

using winsim::usb::CompletionMode;
using winsim::usb::DeviceRequest;
using winsim::usb::RequestKind;
namespace pnp = winsim::pnp;

// PCT seeds per sequence, and the cap on its one-preemption schedules: CI
// runs these in seconds; scripts/explore.sh runs more.
constexpr uint64_t kPctSchedules = 250;
constexpr uint64_t kMaxBoundedSchedules = 150;
// PCT's k: these sequences take 30 to 60 decision steps.
constexpr uint64_t kStepsPerRun = 60;

enum class Sequence {
  // While a write is under way and a second waits for its turn: a device
  // power-down (as an idle detection requests it) and a surprise removal at
  // once.
  RemovalDuringPowerDown,
  // A Plug and Play stop and restart while a three-piece write is under way.
  StopDuringTransfer,
};

struct Case {
  const char* name;
  Sequence sequence;
  CompletionMode mode;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

struct Outcome {
  bool ran = false;  // no hang
  std::vector<ControlResult> writes;
  std::vector<uint8_t> delivered;  // the OUT transfers' bytes, in order
};

class ExploredDriverTest : public DriverTest, public testing::WithParamInterface<Case> {
 protected:
  // Runs the sequence on a fresh machine under the schedule; checks what
  // must hold in every schedule. Returns the run's decision widths.
  std::vector<std::pair<uint64_t, uint32_t>> RunUnder(const winsim::ExploreConfig& schedule,
                                                      const std::string& name) {
    FreshMachine(winsim::OsFamily::WindowsNt, schedule);
    const Outcome outcome = RunSequence(GetParam());
    const auto findings = machine().Verify().Unexpected();
    bool truthful = true;
    for (size_t i = 0; outcome.ran && i < outcome.writes.size(); ++i) {
      const ControlResult& write = outcome.writes[i];
      const std::vector<uint8_t> payload = Payload(kWriteBytes[i], kSeeds[i]);
      truthful = truthful &&
                 (write.ok ? std::search(outcome.delivered.begin(), outcome.delivered.end(),
                                         payload.begin(), payload.end()) != outcome.delivered.end()
                           : write.error != 0);
    }
    if (!outcome.ran || !findings.empty() || !truthful) {
      std::string switches;
      for (const auto& record : machine().Sched().Switches()) {
        switches += "\n  " + winsim::Describe(record);
      }
      ADD_FAILURE() << name << " (" << machine().Sched().Exploring()->Steps() << " steps)"
                    << (outcome.ran ? "" : ": hang")
                    << (findings.empty()
                            ? ""
                            : ": finding " + findings.front().rule + " at " +
                                  findings.front().place + ": " + findings.front().detail)
                    << (truthful ? "" : ": the write's result is not what the device got")
                    << "; switches:" << switches;
    }
    // Told once, with the schedule: not again when the machine is dropped.
    for (const auto& finding : findings) machine().Verify().Expect(finding.rule);
    return machine().Sched().Exploring()->Widths();
  }

 private:
  // The first write is three pieces; a second (RemovalDuringPowerDown)
  // waits for its turn.
  static constexpr uint32_t kWriteBytes[2] = {9000, 264};
  static constexpr uint8_t kSeeds[2] = {1, 25};
  struct Writer {
    ExploredDriverTest* test;
    HANDLE handle;
    size_t index;
    ControlResult* result;
  };

  Outcome RunSequence(const Case& c) {
    Outcome outcome;
    outcome.ran = RunBus(TreeWith(UpdateModeDevice(), c.mode), [&] {
      HANDLE handle = OpenDevice();
      ASSERT_NE(handle, INVALID_HANDLE_VALUE);
      PDEVICE_OBJECT quill = winsim::kernel::LookupDevice(u"\\DosDevices\\QUILLDEV");
      ASSERT_NE(quill, nullptr);
      const size_t writerCount = c.sequence == Sequence::RemovalDuringPowerDown ? 2 : 1;
      outcome.writes.resize(writerCount);
      std::vector<Writer> writers;
      for (size_t i = 0; i < writerCount; ++i) {
        writers.push_back({this, handle, i, &outcome.writes[i]});
      }
      std::vector<HANDLE> threads;
      for (Writer& writer : writers) {
        threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID parameter) -> DWORD {
              auto* w = static_cast<Writer*>(parameter);
              *w->result = w->test->Write(w->handle, kWriteBytes[w->index], kSeeds[w->index]);
              return 0;
            },
            &writer, 0, nullptr));
        ASSERT_NE(threads.back(), nullptr);
      }
      if (c.sequence == Sequence::RemovalDuringPowerDown) {
        LARGE_INTEGER midTransfer;
        midTransfer.QuadPart = -2 * winsim::kTicksPerMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &midTransfer);
        KEVENT poweredDown;
        KeInitializeEvent(&poweredDown, NotificationEvent, FALSE);
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        machine().Sched().CreateThread("power", [&] {
          PoRequestPowerIrp(
              quill, IRP_MN_SET_POWER, d3,
              [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
              },
              &poweredDown, nullptr);
        });
        EXPECT_TRUE(bus().Unplug(kPort));
        pnp::WaitIdle();
        KeWaitForSingleObject(&poweredDown, Executive, KernelMode, FALSE, nullptr);
      } else {
        pnp::StopAndRestart(UpdateModeNode());
        pnp::WaitIdle();
      }
      for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread);
      }
      CloseHandle(handle);
      for (const DeviceRequest& request : Device().Requests()) {
        if (request.kind != RequestKind::Transfer || request.in || !NT_SUCCESS(request.status)) {
          continue;
        }
        outcome.delivered.insert(outcome.delivered.end(), request.data.begin(), request.data.end());
      }
    });
    return outcome;
  }
};

TEST_P(ExploredDriverTest, EveryPctScheduleEndsTruthfullyWithoutHangOrFinding) {
  for (uint64_t seed = 1; seed <= kPctSchedules; ++seed) {
    winsim::ExploreConfig schedule;
    schedule.strategy = winsim::ExploreStrategy::Pct;
    schedule.seed = seed;
    schedule.steps = kStepsPerRun;
    RunUnder(schedule, "PCT seed " + std::to_string(seed));
  }
}

TEST_P(ExploredDriverTest, EveryScheduleWithOnePreemptionEndsTruthfullyWithoutHangOrFinding) {
  winsim::PreemptionSearch search(1);
  while (search.Count() < kMaxBoundedSchedules) {
    const auto preemptions = search.Next();
    if (!preemptions) break;
    winsim::ExploreConfig schedule;
    schedule.strategy = winsim::ExploreStrategy::PreemptionBound;
    schedule.preemptions = *preemptions;
    search.Ran(RunUnder(schedule, "preemptions " + winsim::FormatPreemptions(*preemptions)));
  }
}

const Case kCases[] = {
    {"RemovalDuringPowerDownAsync", Sequence::RemovalDuringPowerDown, CompletionMode::Asynchronous},
    {"RemovalDuringPowerDownInline", Sequence::RemovalDuringPowerDown, CompletionMode::Inline},
    {"StopDuringTransferInline", Sequence::StopDuringTransfer, CompletionMode::Inline},
};

INSTANTIATE_TEST_SUITE_P(Explored, ExploredDriverTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace driver_tests
