// One session of quillprog for the sweeps: an update that a fault may break,
// then (after whatever a user would do: a replug, a Refresh) a second
// update that must complete with the device holding the image.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "dialog_fixture.h"

namespace sweep_testing {

// Where the update-mode Q417 is listed after it came back.
inline constexpr char kUpdateModeItem[] = "Q417 Firmware Update Device";

// What one Program press ended in: the message box, and the status line once
// it was answered.
struct Outcome {
  std::string message;
  std::string status;
};

struct SessionPlan {
  // Called on the application's main thread at these points of the first
  // update (to arm or read fault counters).
  std::function<void()> beforeProgram;
  std::function<void()> afterOutcome;
  // Program presses after the first one made with the update-mode device
  // selected (the device stays as the fault left it), before the recovery.
  int retriesInUpdateMode = 0;
};

struct Observation {
  std::vector<std::string> listAtStart;  // the device list after the first walk
  std::vector<Outcome> outcomes;         // one per Program press before the recovery
  std::vector<std::string> strayBoxes;   // message boxes no step asked for
  std::vector<std::string> idleFaults;   // what was not idle after an outcome
  bool replugged = false;                // the recovery replugged the device
  bool recovered = false;                // the second update completed
  bool flashIsImage = false;             // and the device holds the image
  app_runner::RunResult result;
};

class SweepTest : public dialog_testing::DialogTest {
 protected:
  // A fresh machine for the next point of a sweep: the default schedule, or
  // (pctSeed > 0) the PCT schedule of that seed.
  void FreshMachine(uint64_t pctSeed = 0);
  Observation RunSession(const SessionPlan& plan);
  // The Q417's port as the machine has it; SetUp keeps a copy for replugs,
  // before a test changes the port's script.
  winsim::usb::PortScript& Q417Port();
  void SetUp() override;
  winsim::usb::PortScript healthyPort_;
  // What a session saw that a sweep checks, and under exploration the
  // schedule's seed and switches, to replay it.
  std::string Describe(const Observation& observation);
};

// The status line the dialog leaves after showing message; none for a
// message the dialog never ends an update with.
std::optional<std::string> StatusAfter(const std::string& message);

// A failure of the run itself: anything not idle, stray, leaked or not
// recovered.
std::vector<std::string> SessionFaults(const Observation& observation);

}  // namespace sweep_testing
