// Hostile sequences at quillfw under explored schedules (PCT seeds and every
// schedule with one preemption): what must hold in every interleaving. No
// hang, no verifier finding, and a truthful result: a write that succeeds
// delivered its bytes whole and in order; one that fails says so with a
// status that names what happened. Each harm comes during a transfer, and
// to a device that never completes one.
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
using winsim::usb::DeviceScript;
using winsim::usb::RequestKind;
namespace pnp = winsim::pnp;

// PCT seeds per sequence, and the cap on its one-preemption schedules: CI
// runs these in seconds; scripts/explore.sh runs more.
constexpr uint64_t kPctSchedules = 250;
constexpr uint64_t kMaxBoundedSchedules = 150;
// PCT's k: these sequences take 30 to 60 decision steps.
constexpr uint64_t kStepsPerRun = 60;
// The same for each case of the matrix below.
constexpr uint64_t kMatrixPct = 60;
constexpr uint64_t kMatrixBounded = 40;

// Each comes while a three-piece write is under way (and a second write
// waits for its turn).
enum class Harsh {
  // A device power-down (as an idle detection requests it) and a surprise
  // removal at once.
  RemovalDuringPowerDown,
  // The device leaves the bus (or, silent, stays on it and is reported
  // gone).
  SurpriseRemoval,
  // A Plug and Play stop and restart (silent: the stop query fails, and a
  // stop without a query follows, as Windows 98 may send one).
  StopAndRestart,
  // S3 and back.
  Sleep,
  // S3, and a wake whose device power request cannot be asked for.
  FailedWake,
};

struct Case {
  const char* name;
  Harsh harsh;
  // The device never completes the first transfer (it keeps answering NAK).
  bool silent;
  CompletionMode mode;
  // One write, or a second waiting for its turn as well.
  size_t writes;
  // How long after the writes begin the harm comes (0: at once, before or
  // as the first piece goes out).
  int64_t afterMs;
  // How many PCT seeds and one-preemption schedules (at most).
  uint64_t pctSchedules;
  uint64_t boundedSchedules;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The statuses a write may fail with under each harm: what happened, said
// plainly (anything else is no clear answer). A transfer cancelled after the
// bounded wait fails with STATUS_CANCELLED under every harm.
std::vector<NTSTATUS> ClearFailures(Harsh harsh) {
  switch (harsh) {
    case Harsh::RemovalDuringPowerDown:
    case Harsh::SurpriseRemoval:
      // Removal's status, a piece the leaving device broke off, and the
      // pipe reset that such a piece owes and the device no longer answers.
      return {STATUS_DELETE_PENDING, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED,
              STATUS_UNSUCCESSFUL};
    case Harsh::StopAndRestart:
      return {STATUS_INVALID_DEVICE_STATE, STATUS_CANCELLED};
    case Harsh::Sleep:
      return {STATUS_CANCELLED};
    case Harsh::FailedWake:
      return {STATUS_DEVICE_POWERED_OFF, STATUS_CANCELLED};
  }
  return {};
}

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
    const Case& c = GetParam();
    FreshMachine(winsim::OsFamily::WindowsNt, schedule);
    const Outcome outcome = RunSequence(c);
    const auto findings = machine().Verify().Unexpected();
    std::string untruthful;
    const std::vector<NTSTATUS> failures = ClearFailures(c.harsh);
    for (size_t i = 0; outcome.ran && i < outcome.writes.size(); ++i) {
      const ControlResult& write = outcome.writes[i];
      const std::vector<uint8_t> payload = Payload(kWriteBytes[i], kSeeds[i]);
      if (write.ok) {
        if (std::search(outcome.delivered.begin(), outcome.delivered.end(), payload.begin(),
                        payload.end()) == outcome.delivered.end()) {
          untruthful +=
              "; write " + std::to_string(i) + " succeeded, its bytes not delivered whole";
        }
      } else if (std::none_of(failures.begin(), failures.end(),
                              [&](NTSTATUS status) { return write.error == ErrorFor(status); })) {
        untruthful +=
            "; write " + std::to_string(i) + " failed with error " + std::to_string(write.error);
      }
    }
    if (!outcome.ran || !findings.empty() || !untruthful.empty()) {
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
                    << untruthful << "; switches:" << switches;
    }
    // Told once, with the schedule: not again when the machine is dropped.
    for (const auto& finding : findings) machine().Verify().Expect(finding.rule);
    return machine().Sched().Exploring()->Widths();
  }

 private:
  // The first write is three pieces; the second waits for its turn.
  static constexpr uint32_t kWriteBytes[2] = {9000, 264};
  static constexpr uint8_t kSeeds[2] = {1, 25};
  struct Writer {
    ExploredDriverTest* test;
    HANDLE handle;
    size_t index;
    ControlResult* result;
  };

  static NTSTATUS SendPnp(UCHAR minor) {
    return winsim::kernel::SendIrpAndWait(winsim::kernel::LookupDevice(u"\\Device\\QUILLDEV"),
                                          [minor](PIO_STACK_LOCATION stack) {
                                            stack->MajorFunction = IRP_MJ_PNP;
                                            stack->MinorFunction = minor;
                                          });
  }

  void Harm(const Case& c, PDEVICE_OBJECT quill) {
    switch (c.harsh) {
      case Harsh::RemovalDuringPowerDown: {
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
        break;
      }
      case Harsh::SurpriseRemoval:
        if (c.silent) {
          pnp::DeviceRemoved(UpdateModeNode(), true);
        } else {
          EXPECT_TRUE(bus().Unplug(kPort));
        }
        pnp::WaitIdle();
        break;
      case Harsh::StopAndRestart:
        pnp::StopAndRestart(UpdateModeNode());
        pnp::WaitIdle();
        if (c.silent) {
          SendPnp(IRP_MN_STOP_DEVICE);
          SendPnp(IRP_MN_START_DEVICE);
        }
        break;
      case Harsh::Sleep:
        EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        pnp::SystemWake();
        break;
      case Harsh::FailedWake:
        EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        winsim::kernel::ScriptPowerRequestFailure(STATUS_INSUFFICIENT_RESOURCES);
        pnp::SystemWake();
        break;
    }
  }

  Outcome RunSequence(const Case& c) {
    Outcome outcome;
    DeviceScript device = UpdateModeDevice();
    if (c.silent) device.faults.neverCompleteTransfers = {1};
    outcome.ran = RunBus(TreeWith(device, c.mode), [&] {
      HANDLE handle = OpenDevice();
      ASSERT_NE(handle, INVALID_HANDLE_VALUE);
      PDEVICE_OBJECT quill = winsim::kernel::LookupDevice(u"\\DosDevices\\QUILLDEV");
      ASSERT_NE(quill, nullptr);
      outcome.writes.resize(c.writes);
      std::vector<Writer> writers;
      for (size_t i = 0; i < outcome.writes.size(); ++i) {
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
      if (c.afterMs != 0) {
        LARGE_INTEGER midTransfer;
        midTransfer.QuadPart = -c.afterMs * winsim::kTicksPerMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &midTransfer);
      }
      Harm(c, quill);
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
  for (uint64_t seed = 1; seed <= GetParam().pctSchedules; ++seed) {
    winsim::ExploreConfig schedule;
    schedule.strategy = winsim::ExploreStrategy::Pct;
    schedule.seed = seed;
    schedule.steps = kStepsPerRun;
    RunUnder(schedule, "PCT seed " + std::to_string(seed));
  }
}

TEST_P(ExploredDriverTest, EveryScheduleWithOnePreemptionEndsTruthfullyWithoutHangOrFinding) {
  winsim::PreemptionSearch search(1);
  while (search.Count() < GetParam().boundedSchedules) {
    const auto preemptions = search.Next();
    if (!preemptions) break;
    winsim::ExploreConfig schedule;
    schedule.strategy = winsim::ExploreStrategy::PreemptionBound;
    schedule.preemptions = *preemptions;
    search.Ran(RunUnder(schedule, "preemptions " + winsim::FormatPreemptions(*preemptions)));
  }
}

const Case kCases[] = {
    {"RemovalDuringPowerDownAsync", Harsh::RemovalDuringPowerDown, false,
     CompletionMode::Asynchronous, 2, 2, kPctSchedules, kMaxBoundedSchedules},
    {"RemovalDuringPowerDownInline", Harsh::RemovalDuringPowerDown, false, CompletionMode::Inline,
     2, 2, kPctSchedules, kMaxBoundedSchedules},
    {"StopDuringTransferInline", Harsh::StopAndRestart, false, CompletionMode::Inline, 1, 0,
     kPctSchedules, kMaxBoundedSchedules},
    // The matrix: each harm during a transfer, and with a silent device.
    {"SurpriseRemovalDuringTransfer", Harsh::SurpriseRemoval, false, CompletionMode::Asynchronous,
     2, 2, kMatrixPct, kMatrixBounded},
    {"SurpriseRemovalOfSilentDevice", Harsh::SurpriseRemoval, true, CompletionMode::Asynchronous, 2,
     2, kMatrixPct, kMatrixBounded},
    {"StopAndRestartDuringTransfer", Harsh::StopAndRestart, false, CompletionMode::Asynchronous, 2,
     2, kMatrixPct, kMatrixBounded},
    {"StopAndRestartOfSilentDevice", Harsh::StopAndRestart, true, CompletionMode::Asynchronous, 2,
     2, kMatrixPct, kMatrixBounded},
    {"SleepDuringTransfer", Harsh::Sleep, false, CompletionMode::Asynchronous, 2, 2, kMatrixPct,
     kMatrixBounded},
    {"SleepOfSilentDevice", Harsh::Sleep, true, CompletionMode::Asynchronous, 2, 2, kMatrixPct,
     kMatrixBounded},
    {"FailedWakeDuringTransfer", Harsh::FailedWake, false, CompletionMode::Asynchronous, 2, 2,
     kMatrixPct, kMatrixBounded},
    {"FailedWakeOfSilentDevice", Harsh::FailedWake, true, CompletionMode::Asynchronous, 2, 2,
     kMatrixPct, kMatrixBounded},
};

INSTANTIATE_TEST_SUITE_P(Explored, ExploredDriverTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace driver_tests
