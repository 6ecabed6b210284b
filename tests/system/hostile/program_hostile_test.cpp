// Hostile sequences on whole runs of quillprog with quillfw and the Q417:
// the device pulled, stopped and restarted, put to sleep; Refresh while the
// device is away. Each run must end clean (no hang, nothing left behind, the
// verifier green) and tell the user the truth, under the default schedule and
// under PCT schedules (fixed seeds) alike. (Closing while busy, a second
// update and the plain failures are example scenarios; two handles at once
// and a second update-mode device are tested at the driver.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "dialog_fixture.h"
#include "ground/exploration.h"
#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"
#include "usb/models/q417.h"

namespace dialog_testing {
namespace {

using winsim::UserAgent;
using winsim::VirtualTime;
using winsim::usb::CompletionMode;
using winsim::usb::DeviceRequest;
using winsim::usb::RequestKind;
using winsim::usb::UsbDevice;

constexpr VirtualTime kTick = 10 * winsim::kTicksPerMillisecond;
// Each sequence runs under the default schedule and then under PCT seeds 1
// to kPctSchedules, each on a fresh machine: what the tests check holds in
// every interleaving. CI runs these in its seconds; scripts/explore.sh runs
// more schedules.
constexpr uint64_t kPctSchedules = 4;
constexpr char kUpdateModeInstance[] = "USB\\VID_0417&PID_F001\\Q417-0001";

const char* ModeName(CompletionMode mode) {
  return mode == CompletionMode::Inline ? "Inline" : "Async";
}

PDEVICE_OBJECT QuillDevice() { return winsim::kernel::LookupDevice(u"\\Device\\QUILLDEV"); }

// The worker has opened \\.\QUILLDEV (it then sleeps a second before its
// first request).
bool DeviceIsOpen() {
  PDEVICE_OBJECT device = QuillDevice();
  return device != nullptr && !winsim::kernel::OpenFiles(device).empty();
}

// Lets virtual time pass in small steps until the condition holds.
bool WaitFor(UserAgent& agent, const std::function<bool()>& condition,
             VirtualTime limit = 30 * kSecond, VirtualTime step = kTick) {
  for (VirtualTime waited = 0; !condition(); waited += step) {
    if (waited >= limit) return false;
    agent.Wait(step);
  }
  return true;
}

winsim::pnp::DeviceNode* PresentNode(const std::string& instanceId) {
  std::vector<winsim::pnp::DeviceNode*> pending = {winsim::pnp::Root()};
  while (!pending.empty()) {
    winsim::pnp::DeviceNode* node = pending.back();
    pending.pop_back();
    if (winsim::pnp::IsPresent(node) && winsim::pnp::Properties(node).instanceId == instanceId) {
      return node;
    }
    for (auto* child = winsim::pnp::FirstChild(node); child;
         child = winsim::pnp::NextSibling(child)) {
      pending.push_back(child);
    }
  }
  return nullptr;
}

size_t Transfers(const UsbDevice* device) {
  if (device == nullptr) return 0;
  return static_cast<size_t>(
      std::count_if(device->Requests().begin(), device->Requests().end(),
                    [](const DeviceRequest& r) { return r.kind == RequestKind::Transfer; }));
}

// The last update-mode device that sat on a port.
const winsim::usb::Q417Device* LastUpdateModeDevice(winsim::usb::UsbBus& bus, const char* port) {
  const winsim::usb::Q417Device* found = nullptr;
  for (const UsbDevice* device : bus.History(port)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    if (q417 != nullptr && q417->InUpdateMode()) found = q417;
  }
  return found;
}

constexpr char kUpdateModeItem[] = "Q417 Firmware Update Device";

bool ListShows(UserAgent& agent, HWND dialog, const char* item) {
  std::optional<winsim::ComboView> list = agent.Combo(dialog, IDC_DEVICE_LIST);
  return list && std::find(list->items.begin(), list->items.end(), item) != list->items.end();
}

bool ListShowsQ417(UserAgent& agent, HWND dialog) { return ListShows(agent, dialog, kQ417Item); }

class HostileTest : public DialogTest {
 protected:
  // Runs the sequence under each schedule; stops at the first that fails,
  // naming its seed and its switches (quillsim run --seed replays a
  // scenario's).
  void UnderEverySchedule(const std::function<void()>& sequence) {
    for (uint64_t seed = 0; seed <= kPctSchedules && !HasFailure(); ++seed) {
      const std::string schedule =
          seed == 0 ? std::string("the default schedule") : "PCT seed " + std::to_string(seed);
      SCOPED_TRACE(schedule);
      if (seed != 0) FreshMachine(seed);
      sequence();
      if (!HasFailure() || seed == 0) continue;
      std::string switches;
      for (const winsim::SwitchRecord& record : machine().Sched().Switches()) {
        switches += "\n  " + winsim::Describe(record);
      }
      ADD_FAILURE() << schedule << " failed; its switches:" << switches;
    }
  }
  // A new machine exploring PCT seed `seed` (the last one's findings told).
  void FreshMachine(uint64_t seed) {
    for (const winsim::Finding& finding : machine().Verify().Unexpected()) {
      ADD_FAILURE() << "verifier: " << finding.rule << " at " << finding.place << ": "
                    << finding.detail;
    }
    winsim::MachineConfig config;
    config.explore.strategy = winsim::ExploreStrategy::Pct;
    config.explore.seed = seed;
    machine_.reset();
    machine_ = std::make_unique<winsim::Machine>(config);
    app_runner::RegisterQuillfw();
  }
  // One whole run of the program: the dialog comes up, body plays the
  // user's part, then the user closes the dialog and the program ends; the
  // run leaves nothing behind.
  void RunProgram(const std::function<void(app_runner::Session&, UserAgent&, HWND)>& body) {
    app_runner::RunResult result = Run([&](app_runner::Session& session) {
      UserAgent& agent = session.agent;
      HWND dialog = Start(agent);
      ASSERT_NE(dialog, nullptr);
      body(session, agent, dialog);
      if (HasFatalFailure()) return;
      EXPECT_TRUE(agent.Click(dialog, IDOK));
      EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
    });
    ExpectClean(result);
  }
  void Begin(UserAgent& agent, HWND dialog) {
    SelectQ417(agent, dialog);
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, SampleFirmware()));
    ASSERT_TRUE(agent.Click(dialog, IDC_PROGRAM));
  }
  // "Complete!" only with the image in the flash of the last update-mode
  // device on the Q417's port.
  void ExpectCompleteWithTheImage(app_runner::Session& session, HWND dialog) {
    UserAgent& agent = session.agent;
    ExpectMessageBox(agent, "Complete!");
    const winsim::usb::Q417Device* device = LastUpdateModeDevice(session.bus, kQ417Port);
    ExpectButtonsEnabled(agent, dialog, true);
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Firmware Update Complete.");
    ASSERT_NE(device, nullptr);
    const std::vector<uint8_t> image = ExpectedFlash(SampleFirmware());
    ASSERT_GE(device->Flash().size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), device->Flash().begin()));
  }
};

// ------------------------------------------------- surprise removal

struct RemovalCase {
  const char* name;
  CompletionMode mode;
  enum How {
    Held,         // the transfer is held and the device pulled
    LeavesAt,     // the device leaves at the transfer
    PulledAsleep  // pulled while the machine sleeps, the worker's header waiting
  } how;
  uint32_t transfer;  // 1: the header, 2 on: the blocks
  const char* message;
  int progressSteps;
};

void PrintTo(const RemovalCase& c, std::ostream* out) { *out << c.name; }

const RemovalCase kRemovals[] = {
    {"HeldHeaderPulled", CompletionMode::Asynchronous, RemovalCase::Held, 1,
     "ERROR: Cannot send firmware to device!", 0},
    {"HeldBlockPulled", CompletionMode::Asynchronous, RemovalCase::Held, 5,
     "Error Downloading Firmware!", 3},
    {"LeavesAtABlockInline", CompletionMode::Inline, RemovalCase::LeavesAt, 5,
     "Error Downloading Firmware!", 3},
    {"LeavesAtTheLastBlockInline", CompletionMode::Inline, RemovalCase::LeavesAt, 13,
     "Error Downloading Firmware!", 11},
    {"PulledAsleepAsync", CompletionMode::Asynchronous, RemovalCase::PulledAsleep, 1,
     "ERROR: Cannot send firmware to device!", 0},
};

class SurpriseRemovalTest : public HostileTest, public testing::WithParamInterface<RemovalCase> {};

// The update fails with the worker's message, the driver goes with the
// device, and the device plugged in again takes a whole update.
TEST_P(SurpriseRemovalTest, FailsTruthfullyAndTheDeviceCanBeUpdatedAgain) {
  const RemovalCase& removal = GetParam();
  usb_.completion = removal.mode;
  const winsim::usb::PortScript q417Port = usb_.controllers.at(1).rootPorts.at(0).hubPorts.at(1);
  if (removal.how == RemovalCase::Held) {
    Q417().updateMode.faults.neverCompleteTransfers = {removal.transfer};
  } else if (removal.how == RemovalCase::LeavesAt) {
    Q417().updateMode.faults.surpriseRemovalAtTransfer = removal.transfer;
  }
  UnderEverySchedule([&] {
    app_runner::RunResult result = Run([&](app_runner::Session& session) {
      UserAgent& agent = session.agent;
      HWND dialog = Start(agent);
      ASSERT_NE(dialog, nullptr);
      Begin(agent, dialog);
      if (removal.how == RemovalCase::PulledAsleep) {
        ASSERT_TRUE(WaitFor(agent, DeviceIsOpen));
        ASSERT_TRUE(winsim::pnp::SystemSleep(PowerSystemSleeping3));
        agent.Wait(2 * kSecond);  // the header waits in quillfw for D0
        EXPECT_FALSE(agent.MessageBox().has_value());
        EXPECT_TRUE(session.bus.Unplug(kQ417Port));
        // The suspended hub reports the removal at the wake, and the program
        // does not run while the machine sleeps.
        agent.Wait(kSecond);
        EXPECT_FALSE(agent.MessageBox().has_value());
        winsim::pnp::SystemWake();
        ExpectMessageBox(agent, removal.message);
        ASSERT_TRUE(WaitFor(
            agent, [] { return QuillDevice() == nullptr; }, kSecond));
        EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Error");
        ExpectButtonsEnabled(agent, dialog, true);
        EXPECT_TRUE(agent.Click(dialog, IDOK));
        EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
        return;
      }
      if (removal.how == RemovalCase::Held) {
        ASSERT_TRUE(WaitFor(agent, [&] {
          return Transfers(LastUpdateModeDevice(session.bus, kQ417Port)) == removal.transfer;
        }));
        // Closing is refused while the transfer is held.
        EXPECT_TRUE(agent.CloseBox(dialog));
        ExpectMessageBox(agent, kCannotCloseWhileBusy);
        EXPECT_TRUE(session.bus.Unplug(kQ417Port));
      }
      ExpectMessageBox(agent, removal.message);
      ExpectButtonsEnabled(agent, dialog, true);
      EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Error");
      EXPECT_FALSE(agent.Animation(dialog, IDC_ANIMATION)->playing);
      EXPECT_EQ(agent.Progress(dialog, IDC_PROGRESS)->pos, removal.progressSteps);
      // The worker closed its handle, so the removal finished: the driver's
      // device is gone and the device is no longer listed.
      EXPECT_TRUE(WaitFor(
          agent, [] { return QuillDevice() == nullptr; }, kSecond));
      ASSERT_TRUE(agent.Click(dialog, IDC_REFRESH));
      EXPECT_FALSE(ListShowsQ417(agent, dialog));

      // Plugged in again, it is listed and updated.
      ASSERT_TRUE(session.bus.Plug(kQ417Port, q417Port));
      agent.Wait(kSecond);
      ASSERT_TRUE(agent.Click(dialog, IDC_REFRESH));
      EXPECT_TRUE(ListShowsQ417(agent, dialog));
      Begin(agent, dialog);
      ExpectCompleteWithTheImage(session, dialog);
      EXPECT_TRUE(agent.PressAltF4(dialog));
      EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
    });
    ExpectClean(result);
  });
}

INSTANTIATE_TEST_SUITE_P(Hostile, SurpriseRemovalTest, testing::ValuesIn(kRemovals),
                         [](const testing::TestParamInfo<RemovalCase>& p) {
                           return std::string(p.param.name);
                         });

// ------------------------------------------------- Plug and Play and power

// What happens to the started update-mode device while the worker holds it
// open and sleeps before its first request.
struct StackEvent {
  const char* name;
  // Returns false if the event could not be delivered.
  bool (*deliver)(UserAgent& agent, const UsbDevice* device);
};

const StackEvent kStackEvents[] = {
    {"StopAndRestart",
     [](UserAgent&, const UsbDevice*) {
       winsim::pnp::DeviceNode* node = PresentNode(kUpdateModeInstance);
       if (node == nullptr) return false;
       winsim::pnp::StopAndRestart(node);
       winsim::pnp::WaitIdle();
       return winsim::pnp::State(node) == winsim::pnp::NodeState::Started;
     }},
    // The machine sleeps through the worker's first request: the request
    // waits in quillfw for D0 and goes out after the wake.
    {"SleepAndWake",
     [](UserAgent& agent, const UsbDevice* device) {
       if (!winsim::pnp::SystemSleep(PowerSystemSleeping3)) return false;
       agent.Wait(10 * kSecond);
       const bool nothingSent = Transfers(device) == 0 && !agent.MessageBox().has_value();
       winsim::pnp::SystemWake();
       return nothingSent;
     }},
};

struct StackCase {
  StackEvent event;
  CompletionMode mode;
};

void PrintTo(const StackCase& c, std::ostream* out) { *out << c.event.name << ModeName(c.mode); }

class StackEventTest : public HostileTest, public testing::WithParamInterface<StackCase> {};

TEST_P(StackEventTest, TheDownloadCompletesWithTheImage) {
  const StackCase& c = GetParam();
  usb_.completion = c.mode;
  UnderEverySchedule([&] {
    RunProgram([&](app_runner::Session& session, UserAgent& agent, HWND dialog) {
      Begin(agent, dialog);
      ASSERT_TRUE(WaitFor(agent, DeviceIsOpen));
      const winsim::usb::Q417Device* device = LastUpdateModeDevice(session.bus, kQ417Port);
      ASSERT_EQ(Transfers(device), 0u);  // the worker sleeps before its first request
      EXPECT_TRUE(c.event.deliver(agent, device));
      ExpectCompleteWithTheImage(session, dialog);
    });
  });
}

std::vector<StackCase> StackCases() {
  std::vector<StackCase> cases;
  for (const StackEvent& event : kStackEvents) {
    for (CompletionMode mode : {CompletionMode::Asynchronous, CompletionMode::Inline}) {
      cases.push_back({event, mode});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Hostile, StackEventTest, testing::ValuesIn(StackCases()),
                         [](const testing::TestParamInfo<StackCase>& p) {
                           return std::string(p.param.event.name) + ModeName(p.param.mode);
                         });

// ------------------------------------------------- a sleep that takes the port's power

// The machine sleeps in the middle of the download. Where the port keeps its
// power (S3 on most PCs) the device stays in update mode and the download
// goes on after the wake. Where the port loses it (S3 with
// usb.portPowerInSleep "off", and S4 always) the device loses update mode: at
// the wake it is back in normal mode, its flash keeps the blocks written
// before the sleep, and the program says the download failed.
struct PowerLossCase {
  const char* name;
  SYSTEM_POWER_STATE sleep;
  bool portsUnpoweredInSleep;
  bool powerLost;
};

void PrintTo(const PowerLossCase& c, std::ostream* out) { *out << c.name; }

const PowerLossCase kPowerLosses[] = {
    {"S3PortPowered", PowerSystemSleeping3, false, false},
    {"S3PortUnpowered", PowerSystemSleeping3, true, true},
    {"S4", PowerSystemHibernate, false, true},
};

class PowerLossTest : public HostileTest, public testing::WithParamInterface<PowerLossCase> {};

TEST_P(PowerLossTest, TheVerdictSaysWhatTheDeviceKept) {
  const PowerLossCase& c = GetParam();
  usb_.portsUnpoweredInSleep = c.portsUnpoweredInSleep;
  UnderEverySchedule([&] {
    RunProgram([&](app_runner::Session& session, UserAgent& agent, HWND dialog) {
      Begin(agent, dialog);
      ASSERT_TRUE(WaitFor(agent, DeviceIsOpen));
      const winsim::usb::Q417Device* device = LastUpdateModeDevice(session.bus, kQ417Port);
      ASSERT_NE(device, nullptr);
      // A block a millisecond: sleep once the header and a few blocks are in.
      ASSERT_TRUE(WaitFor(
          agent, [&] { return Transfers(device) >= 4; }, 30 * kSecond,
          winsim::kTicksPerMillisecond));
      ASSERT_TRUE(winsim::pnp::SystemSleep(c.sleep));
      agent.Wait(10 * kSecond);
      const size_t sentAsleep = Transfers(device);
      winsim::pnp::SystemWake();
      if (!c.powerLost) {
        ExpectCompleteWithTheImage(session, dialog);
        EXPECT_EQ(LastUpdateModeDevice(session.bus, kQ417Port), device);
        return;
      }
      ExpectMessageBox(agent, "Error Downloading Firmware!");
      EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Error");
      ExpectButtonsEnabled(agent, dialog, true);
      // Nothing reached the device after the sleep began but what was already
      // on its way; it is back in normal mode, and its flash holds the blocks
      // written before the sleep, in place, and no more.
      EXPECT_EQ(Transfers(device), sentAsleep);
      const winsim::usb::Q417Device* now = winsim::usb::AsQ417(session.bus.DeviceAt(kQ417Port));
      ASSERT_NE(now, nullptr);
      EXPECT_FALSE(now->InUpdateMode());
      EXPECT_EQ(LastUpdateModeDevice(session.bus, kQ417Port), device);
      const std::vector<uint8_t> image = ExpectedFlash(SampleFirmware());
      const uint32_t written = device->ImageBytesReceived();
      EXPECT_GT(written, 0u);
      EXPECT_LT(written, image.size());
      ASSERT_GE(device->Flash().size(), image.size());
      EXPECT_TRUE(std::equal(image.begin(), image.begin() + written, device->Flash().begin()));
      EXPECT_TRUE(std::all_of(device->Flash().begin() + written, device->Flash().end(),
                              [](uint8_t byte) { return byte == 0xFF; }));
      EXPECT_TRUE(WaitFor(
          agent, [] { return QuillDevice() == nullptr; }, kSecond));
    });
  });
}

INSTANTIATE_TEST_SUITE_P(Hostile, PowerLossTest, testing::ValuesIn(kPowerLosses),
                         [](const testing::TestParamInfo<PowerLossCase>& p) {
                           return std::string(p.param.name);
                         });

// ------------------------------------------------- Refresh while the device is away

// The device leaves at its fifth trigger request: the program's sixth finds
// the port empty, so the trigger fails and the dialog is idle while the
// device re-enumerates in update mode. Refresh then, and once it is back.
TEST_F(HostileTest, RefreshWhileTheDeviceReEnumeratesAfterAFailedTrigger) {
  Q417().leaveAfterTriggers = 5;
  UnderEverySchedule([&] {
    RunProgram([&](app_runner::Session& session, UserAgent& agent, HWND dialog) {
      Begin(agent, dialog);
      ExpectMessageBox(agent, kDeviceCannotBeOpened);
      ExpectButtonsEnabled(agent, dialog, true);
      EXPECT_EQ(session.bus.DeviceAt(kQ417Port), nullptr);  // away, coming back
      ASSERT_TRUE(agent.Click(dialog, IDC_REFRESH));
      EXPECT_FALSE(ListShowsQ417(agent, dialog));
      EXPECT_EQ(agent.Combo(dialog, IDC_DEVICE_LIST)->selection, -1);
      // Program now has no device to work on.
      EXPECT_TRUE(agent.Click(dialog, IDC_PROGRAM));
      ExpectMessageBox(agent, kSelectDeviceAndFile);
      ASSERT_TRUE(WaitFor(agent, [] { return QuillDevice() != nullptr; }));
      ASSERT_TRUE(agent.Click(dialog, IDC_REFRESH));
      EXPECT_FALSE(ListShowsQ417(agent, dialog));
      EXPECT_TRUE(ListShows(agent, dialog, kUpdateModeItem));
      EXPECT_EQ(Transfers(LastUpdateModeDevice(session.bus, kQ417Port)), 0u);
      // Programming the device listed in update mode: it does not take the
      // trigger as a signal, so the worker finds the driver's device already
      // there and the update goes through.
      EXPECT_TRUE(agent.SelectItem(dialog, IDC_DEVICE_LIST, kUpdateModeItem));
      ASSERT_TRUE(agent.Click(dialog, IDC_PROGRAM));
      ExpectCompleteWithTheImage(session, dialog);
    });
  });
}

}  // namespace
}  // namespace dialog_testing
