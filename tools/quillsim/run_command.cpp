// `quillsim run SCENARIO` and `quillsim demo`: a whole simulated update, told
// as the user sees it and as the device receives it; `quillsim run PATH...`
// a suite of them (suite.h, suite_runner.h).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "crt/crt_heap.h"
#include "account.h"
#include "harness/app_runner.h"
#include "actions.h"
#include "commands.h"
#include "expectations.h"
#include "flash_image.h"
#include "kernel/kernel.h"
#include "pcap_writer.h"
#include "progress_bar.h"
#include "report.h"
#include "machine/machine_disk.h"
#include "resource.h"
#include "scenario.h"
#include "sha256.h"
#include "suite.h"
#include "suite_runner.h"
#include "usb/models/q417.h"

namespace quillsim {
namespace {

namespace fs = std::filesystem;
using winsim::kTicksPerMillisecond;

// How long closing the program after the script may take, per attempt.
constexpr winsim::VirtualTime kCloseTimeout = 120'000 * kTicksPerMillisecond;

struct RunOptions {
  std::string scenario;
  bool verbose = false;
  std::string json;
  std::string requests;
  std::string pcap;
  std::string snapshots;
  std::string junit;
  std::string report;
  bool realtime = false;
  // `run PATH...`: its files and folders, and the options of a suite.
  std::vector<std::string> paths;
  int jobs = 0;  // 0: as many as there are processors
  std::string shard;
  std::vector<std::string> patterns;
  // The result of one scenario of a suite, as JSON for the suite's process.
  std::string result;
  // Schedule exploration: --schedules N runs N schedules (PCT seeds from
  // --seed on, or preemption-bounded ones with --preemptions); --seed alone
  // replays one PCT schedule; --replay one preemption-bounded schedule.
  unsigned schedules = 0;
  std::optional<uint64_t> seed;
  int preemptions = -1;
  std::string replay;
  winsim::ExploreConfig explore;  // the schedule of this run
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ScheduleName(const winsim::ExploreConfig& explore) {
  if (explore.strategy == winsim::ExploreStrategy::Pct) {
    return "PCT seed " + std::to_string(explore.seed) + " (--seed " + std::to_string(explore.seed) +
           ")";
  }
  const std::string preemptions = winsim::FormatPreemptions(explore.preemptions);
  return preemptions.empty() ? "no preemption"
                             : "preemptions " + preemptions + " (--replay " + preemptions + ")";
}

// Plays the script; returns "" when it ran to its end, or why it stopped.
class Player {
 public:
  Player(const Scenario& scenario, winsim::usb::UsbBus& bus, winsim::UserAgent& agent,
         Observer& observer, Checker& checker)
      : scenario_(scenario), bus_(bus), agent_(agent), observer_(observer), checker_(checker) {}

  std::string Play() {
    for (size_t i = 0; i < scenario_.script.size(); ++i) {
      const Action& action = scenario_.script[i];
      observer_.Look();
      observer_.SetStep(static_cast<int>(i));
      step_ = "step " + std::to_string(i) + " (" + action.path + ")";
      std::string failure = Do(action);
      observer_.Look();
      if (!failure.empty()) {
        observer_.SetStep(-1);
        return "step " + std::to_string(i) + " (" + action.path + "): " + failure;
      }
    }
    observer_.SetStep(-1);
    return "";
  }

 private:
  winsim::VirtualTime Timeout(const Action& action) const {
    return action.timeoutMs * kTicksPerMillisecond;
  }

  bool Settle(const Action& action) {
    return Await("waits until the program is idle", Timeout(action), false, [&] {
      observer_.Look();
      return agent_.IsIdle();
    });
  }

  // Waits until done() holds (an open wait, up to `length`) or for `length`
  // (fixedLength). done() is looked at whenever the program is idle or shows
  // a change, and also every `checkStep` (> 0) for what happens on the bus
  // while the program waits. On a terminal a long wait shows its bar, so the
  // wait is taken in steps of kBarStep to redraw it; elsewhere in one piece.
  bool Await(const std::string& what, winsim::VirtualTime length, bool fixedLength,
             const std::function<bool()>& done, winsim::VirtualTime checkStep = 0) {
    if (!observer_.Live() && checkStep == 0) {
      if (!fixedLength) return agent_.WaitUntil(done, length);
      agent_.Wait(length);
      return true;
    }
    winsim::Scheduler& scheduler = winsim::Machine::Current().Sched();
    const winsim::VirtualTime start = scheduler.Now();
    winsim::VirtualTime nextBar = kBarStep;
    bool reached = false;
    for (;;) {
      const winsim::VirtualTime left =
          std::max<winsim::VirtualTime>(0, length - (scheduler.Now() - start));
      winsim::VirtualTime step = observer_.Live() ? std::min(left, kBarStep) : left;
      // Nothing on the machine bound to happen (no thread ready, no timer):
      // the bus cannot change either, so the wait need not look each frame.
      if (checkStep > 0 && scheduler.HasPendingWork()) step = std::min(step, checkStep);
      if (fixedLength) {
        if (left == 0) break;
        agent_.Wait(step);
      } else if (agent_.WaitUntil(done, step)) {
        reached = true;
        break;
      } else if (left == 0) {
        break;
      }
      if (observer_.Live() && scheduler.Now() - start >= nextBar) {
        observer_.ShowWait({what, scheduler.Now() - start, length, fixedLength});
        nextBar = scheduler.Now() - start + kBarStep;
      }
    }
    observer_.EndWait();
    return fixedLength || reached;
  }

  // Whether a `waitFor`'s condition holds now.
  bool Holds(const WaitCondition& condition) {
    observer_.Look();
    switch (condition.kind) {
      case WaitCondition::Kind::Text:
        return Shows(condition.text);
      case WaitCondition::Kind::MessageBox: {
        const auto box = agent_.MessageBox();
        return box && condition.text.Matches(box->text);
      }
      case WaitCondition::Kind::Progress: {
        const auto progress =
            Dialog() != nullptr ? agent_.Progress(Dialog(), IDC_PROGRESS) : std::nullopt;
        return progress && progress->pos >= condition.number;
      }
      case WaitCondition::Kind::Block:
        return static_cast<int64_t>(ReadPortRequests(bus_, condition.port).lastCounts.size()) >=
               condition.number;
      case WaitCondition::Kind::UpdateMode: {
        if (condition.number > 0)
          return UpdateModeArrivals(bus_, condition.port) >= condition.number;
        const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(bus_.DeviceAt(condition.port));
        return q417 != nullptr && q417->InUpdateMode();
      }
    }
    return false;
  }

  // Why a `waitFor` timed out: the condition as it stands, and what was on
  // screen.
  std::string NotReached(const WaitCondition& condition) {
    std::string why;
    switch (condition.kind) {
      case WaitCondition::Kind::Text:
        why = condition.text.Describe() + " was not shown in time";
        break;
      case WaitCondition::Kind::MessageBox:
        why = "no message box with " + condition.text.Describe() + " came in time";
        break;
      case WaitCondition::Kind::Progress: {
        const auto progress =
            Dialog() != nullptr ? agent_.Progress(Dialog(), IDC_PROGRESS) : std::nullopt;
        why = "the progress bar did not reach " + std::to_string(condition.number) + " in time" +
              (progress
                   ? " (it is at " + std::to_string(progress->pos) + " of " +
                         std::to_string(progress->low) + ".." + std::to_string(progress->high) + ")"
                   : "");
        break;
      }
      case WaitCondition::Kind::Block:
        why = "block " + std::to_string(condition.number) + " was not sent to port " +
              condition.port + " in time (" +
              std::to_string(ReadPortRequests(bus_, condition.port).lastCounts.size()) +
              " since the last header)";
        break;
      case WaitCondition::Kind::UpdateMode:
        why = condition.number > 0
                  ? "update-mode arrival " + std::to_string(condition.number) + " on port " +
                        condition.port + " did not come in time (" +
                        std::to_string(UpdateModeArrivals(bus_, condition.port)) + " so far)"
                  : "no update-mode device came to port " + condition.port + " in time";
        break;
    }
    return why + "; on screen: " + OnScreen();
  }

  // The message box, or the top window's caption and its visible texts, on
  // one line.
  std::string OnScreen() {
    const auto quoted = [](const std::string& text) {
      std::string out = "\"";
      for (char c : text) out += c == '\n' ? std::string("\\n") : std::string(1, c);
      return out + "\"";
    };
    if (const auto box = agent_.MessageBox()) {
      return "message box " + quoted(box->caption) + ": " + quoted(box->text);
    }
    HWND top = agent_.TopWindow();
    if (top == nullptr) return "no window";
    std::string texts;
    for (const auto& control : agent_.Controls(top)) {
      if (!control.visible || control.text.empty()) continue;
      texts += (texts.empty() ? "" : ", ") + quoted(WithoutMnemonic(control.text));
    }
    return quoted(agent_.Caption(top)) + (texts.empty() ? "" : " showing " + texts);
  }

  HWND Dialog() const { return observer_.Dialog(); }

  // A control the user means to use is disabled: that fails an expectation
  // and the script goes on without the action.
  bool Disabled(HWND window, int id, const std::string& name) {
    const auto control = window != nullptr ? agent_.Control(window, id) : std::nullopt;
    if (!control || !control->visible || control->enabled) return false;
    checker_.Add(step_, name + " is disabled");
    observer_.Say("FAILED: " + name + " is disabled; the script goes on");
    return true;
  }

  std::string Do(const Action& action) {
    const std::string what = Describe(action);
    if (action.kind == ActionKind::Expect) {
      const std::string failure = checker_.AtStep(step_, *action.expect, observer_.Seen(),
                                                  winsim::Machine::Current(), bus_);
      observer_.Say(failure.empty() ? "expectations hold" : "expectation FAILED: " + failure);
      return "";
    }
    observer_.Say("user: " + what);
    switch (action.kind) {
      case ActionKind::Answer: {
        if (!Await("waits for a message box", Timeout(action), false, [&] {
              observer_.Look();
              return agent_.MessageBox().has_value();
            })) {
          return "no message box came to answer";
        }
        observer_.Look();
        const int id = ButtonId(action.text);
        if (id == 0) return "unknown message box button \"" + action.text + "\"";
        return agent_.AnswerMessageBox(id) ? "" : "the message box has no button " + action.text;
      }
      case ActionKind::Select: {
        if (Dialog() == nullptr) return "the main dialog is not shown";
        if (Disabled(Dialog(), IDC_DEVICE_LIST, "the device list")) return "";
        const bool done = action.index >= 0
                              ? agent_.SelectItem(Dialog(), IDC_DEVICE_LIST, action.index)
                              : agent_.SelectItem(Dialog(), IDC_DEVICE_LIST, action.text);
        return done ? "" : "the device list has no such item";
      }
      case ActionKind::Type:
        if (Dialog() == nullptr) return "the main dialog is not shown";
        if (Disabled(Dialog(), IDC_FILE_PATH, "the file box")) return "";
        return agent_.TypeText(Dialog(), IDC_FILE_PATH, ResolveFile(scenario_, action.text))
                   ? ""
                   : "cannot type into the file box";
      case ActionKind::Browse:
      case ActionKind::CancelBrowse: {
        if (Disabled(Dialog(), IDC_BROWSE, "Browse")) return "";
        if (Dialog() == nullptr || !agent_.Click(Dialog(), IDC_BROWSE)) {
          return "cannot press Browse";
        }
        if (agent_.WaitForFileDialog(Timeout(action)) == nullptr) return "no file dialog came";
        const bool done = action.kind == ActionKind::Browse
                              ? agent_.AnswerFileDialog(ResolveFile(scenario_, action.text))
                              : agent_.CancelFileDialog();
        return done ? "" : "cannot answer the file dialog";
      }
      case ActionKind::Click: {
        HWND top = agent_.TopWindow();
        if (top == nullptr) return "no window is shown";
        for (const auto& control : agent_.Controls(top)) {
          if (Lower(control.className) == "button" &&
              WithoutMnemonic(control.text) == action.text) {
            if (Disabled(top, control.id, action.text)) return "";
            return agent_.Click(top, control.id) ? "" : "the button is disabled or hidden";
          }
        }
        return "the window \"" + agent_.Caption(top) + "\" has no button \"" + action.text + "\"";
      }
      case ActionKind::Press: {
        bool done = action.text == "Enter"    ? agent_.PressEnter()
                    : action.text == "Escape" ? agent_.PressEscape()
                                              : agent_.PressAltF4();
        return done ? "" : "nothing takes the key";
      }
      case ActionKind::CloseBox: {
        HWND top = agent_.TopWindow();
        return top != nullptr && agent_.CloseBox(top) ? "" : "no close box to press";
      }
      case ActionKind::WaitFor: {
        // What the bus does while the program waits is looked at every
        // frame (1 ms).
        const bool onTheBus = action.waitFor.kind == WaitCondition::Kind::Block ||
                              action.waitFor.kind == WaitCondition::Kind::UpdateMode;
        return Await(
                   what, Timeout(action), false, [&] { return Holds(action.waitFor); },
                   onTheBus ? kTicksPerMillisecond : 0)
                   ? ""
                   : NotReached(action.waitFor);
      }
      case ActionKind::WaitIdle:
        return Settle(action) ? "" : "the program did not become idle in time";
      case ActionKind::Wait:
        Await(what, action.milliseconds * kTicksPerMillisecond, true, [] { return false; });
        return "";
      case ActionKind::Unplug:
        if (!bus_.Unplug(action.text)) {
          return "no device on port " + action.text;
        }
        return Settle(action) ? "" : "the program did not become idle in time";
      case ActionKind::About:
      case ActionKind::Replug:
      case ActionKind::Sleep:
      case ActionKind::Wake:
      case ActionKind::Minimize:
      case ActionKind::Restore:
      case ActionKind::FailAllocation:
        return DoFrameAction(action,
                             {scenario_, bus_, agent_, Dialog(), [&] { return Settle(action); }});
      case ActionKind::Expect:
        break;
    }
    return "";
  }

  // A message box or a control of the top window or the main dialog shows text.
  bool Shows(const TextMatch& text) {
    if (auto box = agent_.MessageBox(); box && text.Matches(box->text)) return true;
    for (HWND window : {agent_.TopWindow(), Dialog()}) {
      if (window == nullptr) continue;
      if (agent_.ShowsText(window, [&](const std::string& shown) { return text.Matches(shown); })) {
        return true;
      }
    }
    return false;
  }

  static int ButtonId(const std::string& name) {
    if (name == "OK") return IDOK;
    if (name == "Cancel") return IDCANCEL;
    if (name == "Yes") return IDYES;
    if (name == "No") return IDNO;
    return 0;
  }

  static std::string Describe(const Action& action) {
    switch (action.kind) {
      case ActionKind::Answer:
        return "answers the message box with " + action.text;
      case ActionKind::Select:
        return action.index >= 0 ? "selects device " + std::to_string(action.index)
                                 : "selects \"" + action.text + "\"";
      case ActionKind::Type:
        return "types \"" + action.text + "\" into the file box";
      case ActionKind::Browse:
        return "browses to \"" + action.text + "\"";
      case ActionKind::CancelBrowse:
        return "presses Browse and cancels";
      case ActionKind::Click:
        return "clicks " + action.text;
      case ActionKind::Press:
        return "presses " + action.text;
      case ActionKind::CloseBox:
        return "clicks the close box";
      case ActionKind::WaitFor:
        return "waits for " + DescribeCondition(action.waitFor);
      case ActionKind::WaitIdle:
        return "waits until the program is idle";
      case ActionKind::Wait:
        return "waits " + std::to_string(action.milliseconds) + " ms";
      case ActionKind::Unplug:
        return "unplugs the device on port " + action.text;
      case ActionKind::About:
      case ActionKind::Replug:
      case ActionKind::Sleep:
      case ActionKind::Wake:
      case ActionKind::Minimize:
      case ActionKind::Restore:
      case ActionKind::FailAllocation:
        return DescribeFrameAction(action);
      case ActionKind::Expect:
        return "expects";
    }
    return "";
  }

  static std::string DescribeCondition(const WaitCondition& condition) {
    switch (condition.kind) {
      case WaitCondition::Kind::Text:
        return condition.text.Describe();
      case WaitCondition::Kind::MessageBox:
        return "a message box with " + condition.text.Describe();
      case WaitCondition::Kind::Progress:
        return "progress position " + std::to_string(condition.number);
      case WaitCondition::Kind::Block:
        return "block " + std::to_string(condition.number) + " sent to port " + condition.port;
      case WaitCondition::Kind::UpdateMode:
        return condition.number > 0 ? "update-mode arrival " + std::to_string(condition.number) +
                                          " on port " + condition.port
                                    : "an update-mode device on port " + condition.port;
    }
    return "";
  }

  const Scenario& scenario_;
  winsim::usb::UsbBus& bus_;
  winsim::UserAgent& agent_;
  Observer& observer_;
  Checker& checker_;
  std::string step_;
};

std::string Hex(const std::vector<uint8_t>& bytes, size_t count) {
  std::string text;
  char byte[4];
  for (size_t i = 0; i < std::min(count, bytes.size()); ++i) {
    std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", bytes[i]);
    text += byte;
  }
  return text;
}

// The image as the Program button builds it: its bytes, and the length of
// each block the worker sends (the last one empty when the length is a
// multiple of 256).
struct ImageBlocks {
  bool built = false;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> blocks;
  // The SHA-256 of the bytes, made on first use (runs under many schedules
  // share one image).
  mutable std::optional<std::string> hash;
  const std::string& Hash() const {
    if (!hash) hash = Sha256Hex(bytes.data(), bytes.size());
    return *hash;
  }
};

ImageBlocks BuildImage(const std::string& path) {
  ImageBlocks result;
  FlashImage image = BuildFlashImage(path.c_str());
  result.built = image != nullptr;
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    result.bytes.insert(result.bytes.end(), block->Data, block->Data + block->FillCount);
    result.blocks.push_back(block->FillCount);
  }
  FreeFlashImage(image);
  return result;
}

// "12 blocks: 11 of 256 bytes and one of 184", "257 blocks: 256 of 256
// bytes and an empty one".
std::string BlocksText(const std::vector<uint32_t>& blocks) {
  if (blocks.empty()) return "no blocks";
  size_t full = 0;
  for (uint32_t count : blocks) full += count == 256 ? 1 : 0;
  std::string text = std::to_string(blocks.size()) + (blocks.size() == 1 ? " block" : " blocks");
  if (full == blocks.size()) return text + " of 256 bytes";
  const uint32_t last = blocks.back();
  const std::string tail = last == 0 ? "an empty one" : "one of " + std::to_string(last);
  return full == 0 ? text + ": " + (last == 0 ? "empty" : std::to_string(last) + " bytes")
                   : text + ": " + std::to_string(full) + " of 256 bytes and " + tail;
}

// Tells what the device received; returns whether the flash holds the image
// (nullopt: nothing was downloaded).
std::optional<bool> TellDevice(const Scenario& scenario, winsim::usb::UsbBus* bus,
                               const ImageBlocks& imageBlocks) {
  if (bus == nullptr || scenario.device.empty()) return std::nullopt;
  const std::vector<uint8_t>& image = imageBlocks.bytes;
  std::optional<bool> holdsImage;
  int arrival = 0;
  for (const winsim::usb::UsbDevice* device : bus->History(scenario.device)) {
    const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
    if (q417 == nullptr || !q417->InUpdateMode()) {
      std::cout << "device " << scenario.device << " (normal mode): " << UpdateModeRequests(*device)
                << " update-mode requests (descriptor 0x55)\n";
      continue;
    }
    size_t transfers = 0;
    size_t headers = 0;
    size_t empty = 0;
    size_t bytes = 0;
    std::vector<uint8_t> first;
    for (const auto& request : device->Requests()) {
      if (request.kind != winsim::usb::RequestKind::Transfer || request.in) continue;
      if (first.empty()) first = request.data;
      ++transfers;
      const bool header = request.data.size() == 5 && request.data[0] == 0xEE &&
                          request.data[1] == 0 && request.data[2] == 0;
      headers += header ? 1 : 0;
      empty += request.requestedLength == 0 ? 1 : 0;
      bytes += request.data.size();
    }
    // The counts that make up the OUT transfers: headers, blocks, and the
    // empty blocks among them (an image whose length is a multiple of 256
    // ends with a zero-length request).
    std::cout << "device " << scenario.device << " (update mode, arrival " << ++arrival
              << "): " << transfers << " OUT transfers (" << headers
              << (headers == 1 ? " header, " : " headers, ") << transfers - headers
              << (transfers - headers == 1 ? " block" : " blocks")
              << (empty > 0 ? ", " + std::to_string(empty) + " of them empty" : "") << "), "
              << bytes << " bytes";
    if (!first.empty()) std::cout << "; header " << Hex(first, 5);
    std::cout << "; image length " << q417->ImageLength() << ", received "
              << q417->ImageBytesReceived() << ", downloads completed "
              << q417->DownloadsCompleted() << "\n";
    if (q417->ImageBytesReceived() == 0 || image.empty()) continue;
    const auto& flash = q417->Flash();
    const size_t length = std::min(image.size(), flash.size());
    const std::string flashHash = Sha256Hex(flash.data(), length);
    const std::string& imageHash = imageBlocks.Hash();
    std::cout << "  image " << image.size() << " bytes in " << BlocksText(imageBlocks.blocks)
              << "\n  flash SHA-256 " << flashHash << "\n  image SHA-256 " << imageHash << "\n";
    holdsImage = length == image.size() && flashHash == imageHash;
    std::cout << (*holdsImage ? "  the device's flash equals the image\n"
                              : "  the device's flash DIFFERS from the image\n");
  }
  return holdsImage;
}

std::string PlainHex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02X", b);
    text += byte;
  }
  return text;
}

// What the scenario's device saw, every mode it was in, in order: one line a
// request (scripts/wine-compare.py holds it against the Wine run's bus log).
bool WriteDeviceRequests(const std::string& path, const Scenario& scenario,
                         winsim::usb::UsbBus* bus) {
  std::ofstream out(path, std::ios::trunc);
  if (bus != nullptr && !scenario.device.empty()) {
    for (const winsim::usb::UsbDevice* device : bus->History(scenario.device)) {
      const winsim::usb::Q417Device* q417 = winsim::usb::AsQ417(device);
      out << "device " << (q417 != nullptr && q417->InUpdateMode() ? "update" : "normal") << "\n";
      for (const auto& request : device->Requests()) {
        switch (request.kind) {
          case winsim::usb::RequestKind::GetDescriptor:
            out << "descriptor type=" << unsigned(request.descriptorType)
                << " index=" << unsigned(request.descriptorIndex)
                << " length=" << request.requestedLength;
            break;
          case winsim::usb::RequestKind::SelectConfiguration:
            out << "select-configuration";
            break;
          case winsim::usb::RequestKind::Deconfigure:
            out << "deconfigure";
            break;
          case winsim::usb::RequestKind::ResetPipe:
            out << "reset-pipe endpoint=0x" << PlainHex({request.endpoint});
            break;
          case winsim::usb::RequestKind::Transfer:
            out << "bulk endpoint=0x" << PlainHex({request.endpoint})
                << " length=" << request.requestedLength;
            if (!request.in && !request.data.empty()) {
              out << " data=" << PlainHex(request.data);
            }
            break;
        }
        out << " status=" << winsim::kernel::StatusText(request.status) << "\n";
      }
    }
  }
  return static_cast<bool>(out);
}

// The version of the event log's format (docs/quillsim-events.schema.json):
// raised when a record changes in a way a reader must know.
constexpr const char* kEventLogSchemaVersion = "1";

// Host addresses (IRPs, the program's pointers in message parameters, the
// driver's pointers in its trace) differ from run to run: the log numbers
// them "@1", "@2"... in the order they first appear, as the capture numbers
// its IRPs; and the machine's private folder, whose name is made anew each
// run, is written "<machine>". So two logs of the same run are the same
// bytes.
class AddressNumbers {
 public:
  AddressNumbers() : machineFolder_(winsim::MachineFolder().string()) {}

  // A field's value: a host address is a hexadecimal number wider than 32
  // bits (the simulated machine's own values are 32-bit).
  std::string Field(const std::string& value) {
    static const std::regex address("0x[0-9A-Fa-f]{9,16}");
    return std::regex_match(value, address) ? Number(std::stoull(value, nullptr, 16))
                                            : WithoutFolder(value);
  }

  std::string WithoutFolder(std::string text) const {
    for (size_t at = 0;
         !machineFolder_.empty() && (at = text.find(machineFolder_, at)) != std::string::npos;) {
      text.replace(at, machineFolder_.size(), "<machine>");
      at += 9;
    }
    return text;
  }

  // The driver's trace prints pointers, cut to 32 bits, after their name:
  // "DriverObject BC001970", "pdo B8012EE0", "Irp = 0xbc0025f0", "IRP:0x...".
  std::string Trace(const std::string& text) {
    static const std::regex pointer(
        "((?:Object|Irp|IRP|pdo|Pdo|PDO|fdo|Fdo|FDO|Urb|URB|Mdl|MDL|Context)\\s*[:=]?\\s*)"
        "(0x[0-9A-Fa-f]{1,8}|[0-9A-Fa-f]{8})\\b");
    std::string result;
    auto begin = std::sregex_iterator(text.begin(), text.end(), pointer);
    size_t at = 0;
    for (auto match = begin; match != std::sregex_iterator(); ++match) {
      const uint64_t value = std::stoull((*match)[2].str(), nullptr, 16);
      // A null pointer is the same in every run.
      result += text.substr(at, match->position(0) - at) + (*match)[1].str() +
                (value == 0 ? (*match)[2].str() : Number(value));
      at = match->position(0) + match->length(0);
    }
    return result + text.substr(at);
  }

 private:
  // Keyed by the low 32 bits, which the trace's pointers keep.
  std::string Number(uint64_t address) {
    const auto [it, added] = numbers_.try_emplace(address & 0xFFFFFFFFu, numbers_.size() + 1);
    return "@" + std::to_string(it->second);
  }

  std::string machineFolder_;
  std::map<uint64_t, size_t> numbers_;
};

nlohmann::json Record(uint64_t sequence, winsim::VirtualTime time, const std::string& thread,
                      const std::string& kind, const std::string& text,
                      const std::map<std::string, std::string>& fields) {
  nlohmann::json record = {{"sequence", sequence}, {"time", time}, {"thread", thread},
                           {"kind", kind},         {"text", text}, {"fields", fields}};
  return record;
}

// The event log as JSON Lines: a Run record (the format's version), the
// machine's events, then each expectation's outcome and the verdict.
bool WriteJsonLines(const std::string& path, const std::string& scenarioName,
                    const std::vector<winsim::Event>& events, const std::vector<Outcome>& outcomes,
                    int exitCode, winsim::VirtualTime endTime) {
  std::ofstream out(path, std::ios::trunc);
  const auto write = [&](const nlohmann::json& record) {
    out << record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  };
  write(Record(0, 0, "", "Run", scenarioName,
               {{"schema", "quillsim-events"}, {"schemaVersion", kEventLogSchemaVersion}}));
  AddressNumbers addresses;
  uint64_t sequence = 0;
  for (const winsim::Event& event : events) {
    std::map<std::string, std::string> fields;
    for (const auto& [name, value] : event.fields) fields[name] = addresses.Field(value);
    const std::string text = addresses.WithoutFolder(
        event.kind == winsim::EventKind::DbgPrint ? addresses.Trace(event.text) : event.text);
    write(Record(event.sequence, event.time, event.thread,
                 std::string(winsim::EventKindName(event.kind)), text, fields));
    sequence = std::max<uint64_t>(sequence, event.sequence);
  }
  size_t failed = 0;
  for (const Outcome& outcome : outcomes) {
    failed += outcome.failure.empty() ? 0 : 1;
    write(Record(
        ++sequence, endTime, "", "Expectation", outcome.name,
        {{"result", outcome.failure.empty() ? "passed" : "failed"}, {"failure", outcome.failure}}));
  }
  write(Record(++sequence, endTime, "", "Verdict", exitCode == 0 ? "PASSED" : "FAILED",
               {{"verdict", exitCode == 0 ? "passed" : "failed"},
                {"exitCode", std::to_string(exitCode)},
                {"expectations", std::to_string(outcomes.size())},
                {"failed", std::to_string(failed)}}));
  return static_cast<bool>(out);
}

// The USB transfers of the log's UsbPacket events, numbered as the capture
// numbers its records.
std::vector<UsbTransfer> ReadTransfers(const std::vector<winsim::Event>& events) {
  constexpr size_t kShownBytes = 16;
  std::vector<UsbTransfer> transfers;
  std::map<std::string, size_t> open;  // by IRP address
  uint64_t frame = 0;
  for (const winsim::Event& event : events) {
    if (event.kind != winsim::EventKind::UsbPacket) continue;
    ++frame;
    const std::string irp = event.Field("irp");
    const std::string data = event.Field("data");
    const auto known = open.find(irp);
    if (event.text == "complete" && known != open.end()) {
      UsbTransfer& row = transfers[known->second];
      row.completeFrame = frame;
      row.completed = event.time;
      row.status = event.Field("usbdStatus");
      if (!data.empty()) {
        row.length = data.size() / 2;
        row.data = data.substr(0, 2 * kShownBytes);
      }
      open.erase(known);
      continue;
    }
    UsbTransfer row;
    row.submitFrame = frame;
    row.submitted = event.time;
    row.device = event.Field("bus") + "." + event.Field("address");
    row.endpoint = event.Field("endpoint");
    row.transfer = event.Field("transfer");
    row.function = event.Field("function");
    row.setup = event.Field("setup");
    row.length = data.size() / 2;
    row.data = data.substr(0, 2 * kShownBytes);
    if (event.text == "complete") {  // a completion whose submission the log lacks
      row.completeFrame = frame;
      row.completed = event.time;
      row.status = event.Field("usbdStatus");
    } else {
      open[irp] = transfers.size();
    }
    transfers.push_back(std::move(row));
  }
  return transfers;
}

// Standard output also kept in a string (the account of a report).
class TeeBuffer : public std::streambuf {
 public:
  TeeBuffer(std::ostream& stream, std::string& copy)
      : stream_(stream), copy_(copy), saved_(stream.rdbuf(this)) {}
  ~TeeBuffer() override { stream_.rdbuf(saved_); }
  TeeBuffer(const TeeBuffer&) = delete;
  TeeBuffer& operator=(const TeeBuffer&) = delete;

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    copy_ += static_cast<char>(c);
    return saved_->sputc(static_cast<char>(c));
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    copy_.append(text, static_cast<size_t>(count));
    return saved_->sputn(text, count);
  }
  int sync() override { return saved_->pubsync(); }

 private:
  std::ostream& stream_;
  std::string& copy_;
  std::streambuf* saved_;
};

std::string ScenarioName(const RunOptions& options) {
  return options.scenario.empty() ? "demo" : fs::path(options.scenario).stem().string();
}

// Hands a scenario's result on: to the suite's process (--result), or as
// a report of its own (--report).
bool KeepResult(const RunOptions& options, const ScenarioResult& result) {
  if (!options.result.empty()) {
    std::ofstream out(options.result, std::ios::trunc);
    out << ResultToJson(result);
    if (!out) return false;
  }
  return options.report.empty() || WriteReport(options.report, {result});
}

bool KeepsResult(const RunOptions& options) {
  return !options.result.empty() || !options.report.empty();
}

// widths: where to leave the explored run's decision widths (for a
// preemption search). built: the scenario's image, built before (the same
// file under every schedule); null to build it here.
using Widths = std::vector<std::pair<uint64_t, uint32_t>>;
int RunScenario(Scenario scenario, const RunOptions& options, ScenarioResult& result,
                Widths* widths = nullptr, const ImageBlocks* built = nullptr) {
  result.verdict = Verdict::Failed;  // until it has run to its verdict
  if (options.realtime) scenario.machine.clock = winsim::ClockMode::RealTime;
  if (!options.snapshots.empty()) fs::create_directories(options.snapshots);
  std::cout << "scenario: " << (scenario.name.empty() ? options.scenario : scenario.name) << "\n";
  if (!scenario.description.empty()) std::cout << scenario.description << "\n";

  ImageBlocks ownBlocks;
  if (!scenario.image.empty() && built == nullptr) {
    ownBlocks = BuildImage(ResolveFile(scenario, scenario.image));
  }
  const ImageBlocks& imageBlocks = built != nullptr ? *built : ownBlocks;
  if (!scenario.image.empty()) {
    std::cout << "image file " << scenario.image << ": "
              << (imageBlocks.built ? std::to_string(imageBlocks.bytes.size()) + " bytes in " +
                                          BlocksText(imageBlocks.blocks)
                                    : "does not build")
              << "\n";
  }
  const std::vector<uint8_t>& image = imageBlocks.bytes;

  winsim::MachineConfig config = scenario.machine.Config();
  config.explore = options.explore;
  winsim::Machine machine(config);
  app_runner::RegisterQuillfw();
  app_runner::RunOptions runOptions;
  runOptions.resources = QUILLPROG_RES;
  runOptions.usb = scenario.machine.usb;
  runOptions.exitTimeout = kCloseTimeout;
  runOptions.closeAfterScript = true;
  std::string scriptFailure;
  std::unique_ptr<Observer> observer;
  Checker checker(image);
  app_runner::RunResult run =
      app_runner::RunQuillprog(machine, runOptions, [&](app_runner::Session& session) {
        winsim::UserAgent& agent = session.agent;
        observer = std::make_unique<Observer>(agent, machine, options.snapshots, options.verbose);
        if (KeepsResult(options)) observer->Keep();
        observer->SetImageBlocks(static_cast<int>(imageBlocks.blocks.size()));
        observer->Say("quillprog starts");
        // The user begins once the program has started up and waits for
        // input (the removable-media warning).
        agent.WaitIdle(kCloseTimeout);
        Player player(scenario, session.bus, agent, *observer, checker);
        scriptFailure = player.Play();
        agent.WaitIdle(60'000 * kTicksPerMillisecond);
        observer->Look();
        observer->Say(scriptFailure.empty() ? "the script has ended" : "the script stopped");
      });
  winsim::crt::HeapFaults::Disarm();  // a Heap failAllocation counts for this run only
  if (observer) {
    observer->Drain();  // what the program's end and the shutdown added
    observer->EndBar();
  }
  if (run.closedAfterScript) std::cout << "quillsim closed the program after the script\n";
  std::cout << "quillprog " << (run.programEnded ? "ended" : "did not end") << " (exit code "
            << run.exitCode << ")\n";

  TellDevice(scenario, run.bus.get(), imageBlocks);
  // The whole log is copied only for what reads all of it.
  const bool wholeLog = !options.pcap.empty() || !options.json.empty() || KeepsResult(options);
  const auto events = wholeLog ? machine.Log().All() : std::vector<winsim::Event>{};
  if (!options.requests.empty() &&
      !WriteDeviceRequests(options.requests, scenario, run.bus.get())) {
    std::cout << "cannot write " << options.requests << "\n";
  }
  if (!options.pcap.empty() && !WritePcap(options.pcap, events)) {
    std::cout << "cannot write " << options.pcap << "\n";
    return 1;
  }

  if (observer) {
    checker.AtEnd(scenario.expect, observer->Seen(), machine, run.bus.get(), run.endedDuringScript);
  }
  std::string runFailure;
  if (!run.applicationRan || !run.busShutDown) {
    for (const winsim::Event& event : machine.Log().OfKind(winsim::EventKind::BugCheck)) {
      runFailure += (runFailure.empty() ? "" : "; ") + event.text;
    }
    for (const winsim::Event& event : machine.Log().OfKind(winsim::EventKind::Hang)) {
      runFailure += (runFailure.empty() ? "hang: " : "; hang: ") + event.text;
    }
    if (runFailure.empty()) runFailure = "the run hung";
  } else if (!run.programEnded) {
    runFailure = "quillprog did not end; the runner had to quit it";
  }
  checker.Add("run", runFailure);
  checker.Add("script", scriptFailure);
  if (!options.junit.empty() &&
      !WriteJUnit(options.junit, ScenarioName(options), checker.Outcomes())) {
    std::cout << "cannot write " << options.junit << "\n";
    return 1;
  }
  const std::vector<std::string> failures = checker.Failures();
  if (!options.json.empty() &&
      !WriteJsonLines(options.json, scenario.name.empty() ? options.scenario : scenario.name,
                      events, checker.Outcomes(), failures.empty() ? 0 : 1,
                      machine.Sched().Now())) {
    std::cout << "cannot write " << options.json << "\n";
    return 1;
  }
  if (options.explore.strategy != winsim::ExploreStrategy::None) {
    const auto* explorer = machine.Sched().Exploring();
    const auto switches = machine.Sched().Switches();
    if (widths) *widths = explorer->Widths();
    std::cout << "schedule: " << ScheduleName(options.explore) << ", " << explorer->Steps()
              << " steps, " << switches.size() << " switches\n";
    if (!failures.empty()) {
      for (const auto& record : switches) std::cout << "  " << winsim::Describe(record) << "\n";
    }
  }
  for (const std::string& failure : failures) std::cout << "FAILED: " << failure << "\n";
  if (failures.empty()) {
    std::cout << "PASSED: the script ran to its end and every expectation held\n";
  }
  result.title = scenario.name;
  result.description = scenario.description;
  result.verdict = failures.empty() ? Verdict::Passed : Verdict::Failed;
  result.endTime = machine.Sched().Now();
  result.capture = options.pcap;
  result.outcomes = checker.Outcomes();
  if (observer) {
    result.lines = observer->Lines();
    result.pictures = observer->Pictures();
  }
  if (wholeLog) result.transfers = ReadTransfers(events);
  return failures.empty() ? 0 : 1;
}

// One scenario in this process, its result kept when asked for.
int RunAndKeep(const RunOptions& options, const std::function<Scenario()>& load) {
  ScenarioResult result;
  result.name = ScenarioName(options);
  result.file = options.scenario;
  const auto start = std::chrono::steady_clock::now();
  int exitCode = 2;
  {
    std::optional<TeeBuffer> tee;
    if (!options.report.empty()) tee.emplace(std::cout, result.output);
    try {
      Scenario scenario = load();
      exitCode = RunScenario(std::move(scenario), options, result);
    } catch (const ScenarioError& error) {
      const std::string where = options.scenario.empty() ? "demo" : options.scenario;
      std::cerr << where << ": " << error.what() << "\n";
      result.output += where + ": " + error.what() + "\n";
      result.verdict = Verdict::Error;
      result.error = error.what();
      if (!options.junit.empty()) {
        WriteJUnit(options.junit, ScenarioName(options), {{"scenario", error.what(), {}, {}}});
      }
    }
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (KeepsResult(options) && !KeepResult(options, result)) {
    std::cout << "cannot write " << (options.result.empty() ? options.report : options.result)
              << "\n";
    return exitCode == 0 ? 1 : exitCode;
  }
  return exitCode;
}

// Runs the scenario under many schedules, each quietly; tells each distinct
// outcome once: how many schedules ended so, and the first one's account of
// its schedule (its seed or preemptions, and its switches when it failed).
int RunSchedules(const Scenario& scenario, RunOptions options) {
  const uint64_t firstSeed = options.seed.value_or(1);
  std::optional<winsim::PreemptionSearch> search;
  if (options.preemptions >= 0) search.emplace(options.preemptions);
  struct Outcome {
    unsigned count = 0;
    std::string firstSchedule;
    std::string account;  // the first run's schedule lines
  };
  std::vector<std::pair<std::string, Outcome>> outcomes;
  unsigned ran = 0;
  int exitCode = 0;
  const auto start = std::chrono::steady_clock::now();
  // The scenario's files do not change between schedules: its image is
  // built once, as every schedule would build it.
  ImageBlocks imageBlocks;
  if (!scenario.image.empty()) imageBlocks = BuildImage(ResolveFile(scenario, scenario.image));
  for (; ran < options.schedules; ++ran) {
    if (search) {
      auto next = search->Next();
      if (!next) break;
      options.explore = {};
      options.explore.strategy = winsim::ExploreStrategy::PreemptionBound;
      options.explore.preemptions = *next;
    } else {
      options.explore = {};
      options.explore.strategy = winsim::ExploreStrategy::Pct;
      options.explore.seed = firstSeed + ran;
    }
    std::ostringstream output;
    std::streambuf* saved = std::cout.rdbuf(output.rdbuf());
    int result;
    Widths widths;
    ScenarioResult told;  // the schedule's outcome is read from its output
    try {
      result = RunScenario(scenario, options, told, &widths, &imageBlocks);
    } catch (...) {
      std::cout.rdbuf(saved);
      throw;
    }
    std::cout.rdbuf(saved);
    if (search) search->Ran(widths);
    if (result != 0) exitCode = 1;
    std::string verdict;
    std::string account;
    std::istringstream lines(output.str());
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("FAILED: ") || line.starts_with("PASSED")) verdict += line + "\n";
      if (line.starts_with("schedule: ") || line.starts_with("  step ")) account += line + "\n";
    }
    auto found = std::find_if(outcomes.begin(), outcomes.end(),
                              [&](const auto& outcome) { return outcome.first == verdict; });
    if (found == outcomes.end()) {
      outcomes.push_back({verdict, {0, ScheduleName(options.explore), account}});
      found = outcomes.end() - 1;
    }
    ++found->second.count;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cout << "scenario: " << (scenario.name.empty() ? options.scenario : scenario.name) << "\n";
  std::cout << ran << " schedules in " << seconds << " s, " << outcomes.size()
            << (outcomes.size() == 1 ? " outcome" : " distinct outcomes") << "\n";
  for (const auto& [verdict, outcome] : outcomes) {
    std::cout << "\n"
              << outcome.count << " of " << ran << " schedules, first " << outcome.firstSchedule
              << ":\n"
              << verdict << outcome.account;
  }
  return exitCode;
}

int RunFile(const RunOptions& options) {
  if (options.schedules > 0) {
    Scenario scenario;
    try {
      scenario = LoadScenario(options.scenario, winsim::MachineFolder() / "scenario-files");
    } catch (const ScenarioError& error) {
      std::cerr << options.scenario << ": " << error.what() << "\n";
      return 2;
    }
    return RunSchedules(scenario, options);
  }
  RunOptions one = options;
  if (!options.replay.empty()) {
    auto preemptions = winsim::ParsePreemptions(options.replay);
    if (!preemptions) {
      std::cerr << "--replay: not a list of STEP:CHOICE pairs: " << options.replay << "\n";
      return 2;
    }
    one.explore.strategy = winsim::ExploreStrategy::PreemptionBound;
    one.explore.preemptions = *preemptions;
  } else if (options.seed) {
    one.explore.strategy = winsim::ExploreStrategy::Pct;
    one.explore.seed = *options.seed;
  }
  return RunAndKeep(one, [&] {
    return LoadScenario(options.scenario, winsim::MachineFolder() / "scenario-files");
  });
}

// The demo: the main topology, the sample firmware, a user who does the
// update from start to end.
constexpr const char* kDemoScenario = R"({
  "name": "demo: update the Q417 behind the external hub with the sample firmware",
  "machine": "../machines/default-nt.json",
  "files": { "sample.hex": "../firmware/sample.hex" },
  "script": [
    { "answer": "OK", "comment": "the removable-media warning" },
    { "select": "USB Mass Storage Device" },
    { "browse": "sample.hex" },
    { "click": "Program" },
    { "waitFor": "Complete!" },
    { "answer": "OK" },
    { "click": "Close" }
  ],
  "expect": { "status": "Firmware Update Complete.", "flash": "image", "applicationEnded": true }
})";

int RunDemo(const RunOptions& options) {
  const fs::path folder = fs::path(QUILLSIM_EXAMPLES) / "scenarios";
  return RunAndKeep(options, [&] {
    return ParseScenario(kDemoScenario, folder, winsim::MachineFolder() / "scenario-files");
  });
}

// A scenario's own arguments in a suite: what it writes goes into the
// suite's folders, named after it. An option of AddRunOptions that a
// scenario's run needs is passed on here.
std::vector<std::string> ScenarioArguments(const RunOptions& options, const SuiteEntry& entry) {
  std::vector<std::string> arguments;
  auto into = [&](const char* option, const std::string& folder, const char* extension) {
    if (folder.empty()) return;
    const fs::path file = fs::path(folder) / (entry.name + extension);
    fs::create_directories(file.parent_path());
    arguments.insert(arguments.end(), {option, file.string()});
  };
  if (options.verbose) arguments.emplace_back("-v");
  if (options.realtime) arguments.emplace_back("--realtime");
  into("--json", options.json, ".jsonl");
  into("--requests", options.requests, ".txt");
  into("--pcap", options.pcap, ".pcap");
  into("--snapshots", options.snapshots, "");
  return arguments;
}

// A message's first line, cut to what a line of a test runner holds.
std::string FirstLine(const std::string& text) {
  constexpr size_t kLongest = 160;
  const std::string line = text.substr(0, text.find('\n'));
  return line.size() <= kLongest ? line : line.substr(0, kLongest - 3) + "...";
}

// `quillsim run PATH...`: every scenario the paths name, in processes of
// their own, a line each as it ends, then a summary.
int RunSuiteCommand(const RunOptions& options) {
  std::optional<Shard> shard;
  if (!options.shard.empty() && !(shard = ParseShard(options.shard))) {
    std::cerr << "--shard " << options.shard << ": expected I/N, 1 <= I <= N (--shard 2/4)\n";
    return 2;
  }
  std::vector<SuiteEntry> entries;
  try {
    entries = SelectScenarios(CollectScenarios(options.paths), options.patterns, std::nullopt);
  } catch (const SuiteError& error) {
    std::cerr << error.what() << "\n";
    return 2;
  }
  if (entries.empty()) {
    std::cerr << "no scenario's name matches -k";
    for (const std::string& pattern : options.patterns) std::cerr << " \"" << pattern << "\"";
    std::cerr << "\n";
    return 2;
  }
  const size_t named = entries.size();
  entries = SelectScenarios(entries, {}, shard);
  const int jobs = options.jobs > 0 ? options.jobs : ProcessorCount();
  std::cout << entries.size() << " scenarios";
  if (shard) {
    std::cout << " (shard " << shard->index << "/" << shard->count << " of " << named << ")";
  }
  std::cout << ", " << jobs << " at a time\n" << std::flush;

  const auto start = std::chrono::steady_clock::now();
  const int width = static_cast<int>(std::to_string(entries.size()).size());
  SuiteRun run;
  run.entries = entries;
  run.jobs = jobs;
  run.arguments = [&](const SuiteEntry& entry) { return ScenarioArguments(options, entry); };
  run.ended = [&](const ScenarioResult& result, size_t ended) {
    char line[64];
    std::snprintf(line, sizeof line, "[%*zu/%zu] %-7s ", width, ended, entries.size(),
                  result.verdict == Verdict::Passed   ? "PASSED"
                  : result.verdict == Verdict::Failed ? "FAILED"
                                                      : "ERROR");
    std::cout << line << result.name;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, " (%.2f s)", result.seconds);
    if (result.verdict != Verdict::Error) std::cout << seconds;
    const std::vector<std::string> failures = result.Failures();
    if (result.verdict == Verdict::Error) std::cout << ": " << FirstLine(result.error);
    if (result.verdict == Verdict::Failed && !failures.empty()) {
      std::cout << ": " << FirstLine(failures.front());
      if (failures.size() > 1) std::cout << " (and " << failures.size() - 1 << " more)";
    }
    std::cout << "\n" << std::flush;
  };
  const std::vector<ScenarioResult> results = RunSuite(run);

  size_t counts[3] = {0, 0, 0};
  for (const ScenarioResult& result : results) ++counts[static_cast<int>(result.verdict)];
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f s",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::cout << "\n"
            << results.size() << " scenarios in " << elapsed << ": " << counts[0] << " passed, "
            << counts[1] << " failed, " << counts[2] << " could not be read or run\n";
  for (const ScenarioResult& result : results) {
    if (result.verdict == Verdict::Failed) std::cout << "FAILED: " << result.file << "\n";
    if (result.verdict == Verdict::Error) std::cout << "ERROR: " << result.file << "\n";
  }
  int exitCode = counts[0] == results.size() ? 0 : 1;
  if (!options.junit.empty() && !WriteSuiteJUnit(options.junit, results)) {
    std::cout << "cannot write " << options.junit << "\n";
    exitCode = 1;
  }
  if (!options.report.empty() && !WriteReport(options.report, results)) {
    std::cout << "cannot write " << options.report << "\n";
    exitCode = 1;
  }
  return exitCode;
}

// One file is a scenario as it always was; folders, several files, -k or
// --shard make a suite.
int RunPaths(const RunOptions& options) {
  const bool one = options.paths.size() == 1 && options.patterns.empty() && options.shard.empty() &&
                   !fs::is_directory(options.paths.front());
  if (!one && options.result.empty()) return RunSuiteCommand(options);
  RunOptions single = options;
  single.scenario = options.paths.front();
  return RunFile(single);
}

void AddRunOptions(CLI::App* command, RunOptions& options) {
  command->add_flag("-v,--verbose", options.verbose,
                    "Also print the driver's trace, IRPs and URBs");
  command->add_option("--json", options.json, "Write the event log as JSON Lines");
  command->add_option("--requests", options.requests,
                      "Write every request the scenario's device saw, one a line");
  command->add_option("--pcap", options.pcap, "Write the USB traffic as a pcap capture (USBPcap)");
  command->add_option("--snapshots", options.snapshots, "Write an SVG snapshot at each change");
  command->add_flag("--realtime", options.realtime, "Run on the real clock");
  command->add_option("--junit", options.junit,
                      "Write JUnit XML: each expectation a test case (one scenario), or each "
                      "scenario (a suite)");
  command->add_option("--report", options.report,
                      "Write a self-contained HTML page of the run: verdicts, timelines, "
                      "screens, USB requests, expectations");
  command->add_option("--schedules", options.schedules,
                      "Run under N explored schedules and tell each distinct outcome");
  command->add_option("--seed", options.seed,
                      "The first PCT seed of --schedules (default 1), or alone: replay that seed");
  command
      ->add_option("--preemptions", options.preemptions,
                   "With --schedules: every schedule with at most this many preemptions "
                   "(0, 1, 2), depth-first, instead of PCT")
      ->check(CLI::Range(0, 2));
  command->add_option("--replay", options.replay,
                      "Replay one preemption-bounded schedule: STEP:CHOICE,...");
}

}  // namespace

void AddRunCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<RunOptions>();
  CLI::App* run = app.add_subcommand(
      "run", "Run a scenario (a machine, files, a user's script), or a suite of them");
  run->add_option("PATH", options->paths,
                  "Scenario files (JSON), or folders: every scenario beneath them")
      ->required();
  AddRunOptions(run, *options);
  run->add_option("-j,--jobs", options->jobs,
                  "A suite's scenarios run at a time (default: the processors)")
      ->check(CLI::PositiveNumber);
  run->add_option("--shard", options->shard, "Run only the I-th of every N scenarios (I/N)");
  run->add_option("-k", options->patterns,
                  "Run only the scenarios whose names contain this, or match it (*, ?, [...])")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  run->add_option("--result", options->result)->group("");
  run->callback([options, &exitCode] { exitCode = RunPaths(*options); });

  auto demoOptions = std::make_shared<RunOptions>();
  CLI::App* demo = app.add_subcommand("demo", "Run the built-in scenario: a whole update");
  AddRunOptions(demo, *demoOptions);
  demo->callback([demoOptions, &exitCode] { exitCode = RunDemo(*demoOptions); });
}

}  // namespace quillsim
