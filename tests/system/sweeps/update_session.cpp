#include "update_session.h"

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "download_worker.h"
#include "ground/exploration.h"
#include "programmer_dialog.h"
#include "user_messages.h"
#include "usb/models/q417.h"
#include "usb/usb_bus.h"

namespace sweep_testing {

using dialog_testing::kQ417Item;
using dialog_testing::kQ417Port;
using dialog_testing::kSecond;
using winsim::UserAgent;

namespace {

// Long enough for the worker to give up on a device that never comes back
// in update mode (two minutes of opens).
constexpr winsim::VirtualTime kOutcomeTimeout = 200 * kSecond;

// Answers every message box that turns up within a few seconds.
void CollectStrayBoxes(UserAgent& agent, Observation& observation) {
  while (std::optional<winsim::MessageBoxView> box = agent.WaitForMessageBox(5 * kSecond)) {
    observation.strayBoxes.push_back(box->text);
    if (!agent.AnswerMessageBox(IDOK)) break;
  }
}

void CheckIdle(UserAgent& agent, HWND dialog, Observation& observation) {
  for (int id : {IDC_REFRESH, IDC_BROWSE, IDOK, IDC_PROGRAM}) {
    if (!agent.IsEnabled(dialog, id)) {
      observation.idleFaults.push_back("button " + std::to_string(id) + " disabled");
    }
  }
  std::optional<winsim::AnimationView> animation = agent.Animation(dialog, IDC_ANIMATION);
  if (!animation || animation->playing) observation.idleFaults.push_back("animation playing");
  if (UpdateInProgress != 0) observation.idleFaults.push_back("UpdateInProgress set");
}

// Presses Program with the item selected and waits for the message box that
// ends the press.
bool PressProgram(UserAgent& agent, HWND dialog, const char* item, const std::string& firmware) {
  if (!agent.SelectItem(dialog, IDC_DEVICE_LIST, item)) return false;
  if (!agent.TypeText(dialog, IDC_FILE_PATH, firmware)) return false;
  return agent.Click(dialog, IDC_PROGRAM);
}

std::optional<Outcome> AwaitOutcome(UserAgent& agent, HWND dialog, Observation& observation) {
  std::optional<winsim::MessageBoxView> box = agent.WaitForMessageBox(kOutcomeTimeout);
  if (!box) return std::nullopt;
  if (box->caption != dialog_testing::kTitle || box->icon != "IDI_EXCLAMATION" ||
      box->buttons != std::vector<std::string>{"OK"}) {
    observation.idleFaults.push_back("message box not in the dialog's style: " + box->text);
  }
  agent.AnswerMessageBox(IDOK);
  Outcome outcome{box->text, agent.Text(dialog, IDC_STATUS)};
  CheckIdle(agent, dialog, observation);
  CollectStrayBoxes(agent, observation);
  return outcome;
}

const winsim::usb::Q417Device* LatestUpdateModeDevice(winsim::usb::UsbBus& bus) {
  const winsim::usb::Q417Device* latest = nullptr;
  for (const winsim::usb::UsbDevice* device : bus.History(kQ417Port)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    if (q417 != nullptr && q417->InUpdateMode()) latest = q417;
  }
  return latest;
}

}  // namespace

std::optional<std::string> StatusAfter(const std::string& message) {
  static const std::map<std::string, std::string> kStatusAfter = {
      {MessageSelectDeviceAndFile, ""},
      {MessageImageNotBuilt, ""},
      {MessageDeviceCannotBeOpened, ""},
      {FailureDeviceNotFound, StatusError},
      {FailureHeaderNotSent, StatusError},
      {FailureBlockNotSent, StatusError},
      {MessageUpdateComplete, StatusUpdateComplete},
  };
  auto found = kStatusAfter.find(message);
  if (found == kStatusAfter.end()) return std::nullopt;
  return found->second;
}

void SweepTest::SetUp() {
  DialogTest::SetUp();
  healthyPort_ = Q417Port();
}

winsim::usb::PortScript& SweepTest::Q417Port() {
  // Controller 1, root port 1 (a hub), hub port 2.
  return usb_.controllers.at(1).rootPorts.at(0).hubPorts.at(1);
}

void SweepTest::FreshMachine(uint64_t pctSeed) {
  winsim::MachineConfig config;
  if (pctSeed != 0) {
    config.explore.strategy = winsim::ExploreStrategy::Pct;
    config.explore.seed = pctSeed;
  }
  machine_.reset();
  machine_ = std::make_unique<winsim::Machine>(config);
  app_runner::RegisterQuillfw();
}

Observation SweepTest::RunSession(const SessionPlan& plan) {
  const std::string firmware = SampleFirmware();
  const std::vector<uint8_t> image = ExpectedFlash(firmware);
  Observation observation;
  observation.result = Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    if (dialog == nullptr) return;
    if (std::optional<winsim::ComboView> list = agent.Combo(dialog, IDC_DEVICE_LIST)) {
      observation.listAtStart = list->items;
    }
    CollectStrayBoxes(agent, observation);

    // The update the fault may break (not tried when the walk lost the Q417).
    const auto& listed = observation.listAtStart;
    if (std::find(listed.begin(), listed.end(), kQ417Item) != listed.end()) {
      if (plan.beforeProgram) plan.beforeProgram();
      if (!PressProgram(agent, dialog, kQ417Item, firmware)) return;
      std::optional<Outcome> outcome = AwaitOutcome(agent, dialog, observation);
      if (plan.afterOutcome) plan.afterOutcome();
      if (!outcome) return;
      observation.outcomes.push_back(*outcome);
      for (int retry = 0; retry < plan.retriesInUpdateMode; ++retry) {
        if (!agent.Click(dialog, IDC_REFRESH)) return;
        if (!PressProgram(agent, dialog, kUpdateModeItem, firmware)) return;
        outcome = AwaitOutcome(agent, dialog, observation);
        if (!outcome) return;
        observation.outcomes.push_back(*outcome);
      }
    }

    // The recovery: a device that left, went to update mode or took part of
    // a trigger is replugged, as the user would; then a second update.
    if (observation.outcomes.empty() || observation.outcomes.back().message != "Complete!") {
      agent.Wait(5 * kSecond);  // a device on its way back arrives first
      const winsim::usb::Q417Device* device = winsim::usb::AsQ417(session.bus.DeviceAt(kQ417Port));
      if (device == nullptr || device->InUpdateMode() || device->TriggerRequests() > 0) {
        if (device != nullptr) session.bus.Unplug(kQ417Port);
        agent.Wait(kSecond);
        if (!session.bus.Plug(kQ417Port, healthyPort_)) return;
        agent.Wait(3 * kSecond);
        observation.replugged = true;
      }
      if (!agent.Click(dialog, IDC_REFRESH)) return;
      if (!PressProgram(agent, dialog, kQ417Item, firmware)) return;
      std::optional<Outcome> outcome = AwaitOutcome(agent, dialog, observation);
      if (!outcome || outcome->message != "Complete!") {
        if (outcome) observation.strayBoxes.push_back("second update: " + outcome->message);
        return;
      }
    }
    observation.recovered = true;
    if (const winsim::usb::Q417Device* device = LatestUpdateModeDevice(session.bus)) {
      const std::vector<uint8_t>& flash = device->Flash();
      observation.flashIsImage =
          flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
    }
    agent.Click(dialog, IDOK);
    agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond);
  });
  return observation;
}

std::vector<std::string> SessionFaults(const Observation& observation) {
  std::vector<std::string> faults = observation.idleFaults;
  for (const std::string& box : observation.strayBoxes) faults.push_back("stray box: " + box);
  if (!observation.recovered) faults.push_back("the second update did not complete");
  if (observation.recovered && !observation.flashIsImage) {
    faults.push_back("the device does not hold the image");
  }
  const app_runner::RunResult& result = observation.result;
  if (!result.applicationRan) faults.push_back("the application hung");
  if (!result.busShutDown) faults.push_back("the bus shutdown hung");
  if (!result.programEnded) faults.push_back("the program did not end on its own");
  for (const std::string& finding : result.unexpectedFindings) faults.push_back(finding);
  return faults;
}

std::string SweepTest::Describe(const Observation& observation) {
  std::ostringstream text;
  for (const Outcome& outcome : observation.outcomes) {
    text << "[" << outcome.message << " / " << outcome.status << "] ";
  }
  if (observation.replugged) text << "(replugged) ";
  for (const std::string& fault : SessionFaults(observation)) text << "; " << fault;
  if (const winsim::Explorer* explorer = machine().Sched().Exploring()) {
    text << "; PCT seed " << explorer->Config().seed << ", switches:";
    for (const winsim::SwitchRecord& record : machine().Sched().Switches()) {
      text << "\n  " << winsim::Describe(record);
    }
  }
  return text.str();
}

}  // namespace sweep_testing
