// A scenario: one simulated PC, the Flash ROM files it uses, what the user
// does, and what should come of it. docs/scenarios.md documents the format.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/machine_description.h"

namespace quillsim {

// A scenario that cannot be read: the JSON path ("/script/3/click") and
// what is wrong with it.
class ScenarioError : public std::runtime_error {
 public:
  ScenarioError(std::string path, const std::string& message)
      : std::runtime_error((path.empty() ? std::string("/") : path) + ": " + message) {}
};

enum class ActionKind {
  Answer,          // press a message box's button ("OK")
  Select,          // pick a device list item by position or by text
  Type,            // type a path into the file box
  Browse,          // press Browse and answer the file dialog with a path
  CancelBrowse,    // press Browse and cancel the file dialog
  Click,           // click a button of the top window by its text
  Press,           // "Enter", "Escape", "Alt+F4"
  CloseBox,        // the caption's close box of the top window
  About,           // About: the system menu's item, or its command posted directly
  WaitFor,         // until a message box or a control of the top window shows a text
  WaitIdle,        // until the program waits for input
  Wait,            // let time pass
  Unplug,          // take the device off a port (surprise removal)
  Replug,          // put the machine's device back on a port
  Sleep,           // the machine sleeps (S1-S4)
  Wake,            // the machine wakes
  Minimize,        // the main dialog's Minimize command
  Restore,         // the main dialog's Restore command
  FailAllocation,  // the n-th allocation of a kind from now on fails
  Expect,          // expectations that must hold at this moment
};

// A text as a scenario asks for it: the whole text ("Complete!"), a part of
// it ({"contains": "Complete"}) or an ECMAScript regular expression found
// anywhere in it ({"regex": "^Complete!?$"}).
struct TextMatch {
  enum class Mode { Exact, Contains, Regex };
  Mode mode = Mode::Exact;
  std::string text;
  bool Matches(const std::string& shown) const;
  // "\"Complete!\"", "a text containing \"Compl\"", "a text matching /C.*/"
  std::string Describe() const;
};

// What a `waitFor` waits for.
struct WaitCondition {
  enum class Kind {
    Text,        // a message box or a visible control shows the text
    MessageBox,  // a message box with the text is on screen
    Progress,    // the progress bar's position is `number` or more
    Block,       // the download on `port` (after its last header) has sent `number` blocks
    UpdateMode,  // an update-mode device is on `port`; with `number`: that many have arrived
  };
  Kind kind = Kind::Text;
  TextMatch text;
  int64_t number = 0;
  std::string port;
};

// What the device on a port received: its update-mode requests, the OUT
// transfers and pipe resets of its update-mode devices, in order.
struct RequestExpectations {
  std::string port;  // "" before the scenario's device is filled in
  // The n-th update-mode device on the port (from 1) and the trigger
  // requests that led to it; 0: everything the port saw.
  int64_t arrival = 0;
  std::optional<int64_t> triggerRequests;
  std::optional<int64_t> outTransfers;
  std::optional<int64_t> pipeResets;
  std::optional<int64_t> headers;
  std::optional<std::string> header;  // hex bytes of the last download's header
  struct Block {
    int64_t count = 0;
    std::optional<std::string> bytes;  // hex
  };
  std::optional<std::vector<Block>> blocks;  // of the last download
  bool blocksCarryImage = false;             // "blockBytes": "image"
  std::optional<std::vector<std::string>> sequence;
};

struct ProgressExpectations {
  std::optional<int64_t> pos;
  std::optional<int64_t> low;
  std::optional<int64_t> high;
};

struct Expectations {
  std::optional<std::vector<TextMatch>> messageBoxes;  // every box's text, in order
  std::optional<std::string> status;                   // the final status line
  std::optional<std::string> flash;                    // "image" or "untouched"
  std::optional<std::vector<std::string>> deviceList;  // the list's texts at the end
  std::vector<std::string> trace;                      // DbgPrint lines that must appear
  std::vector<std::string> findings;                   // verifier rules that are expected
  std::optional<bool> applicationEnded;                // the program has exited
  std::map<std::string, std::string> flashes;          // port -> "image" / "untouched"
  std::map<std::string, bool> controls;                // control name -> enabled
  std::optional<std::string> selectionText;            // the selected item's text
  std::optional<int64_t> selectionIndex;               // its position (-1: none)
  std::optional<ProgressExpectations> progress;
  std::optional<bool> minimized;  // the main dialog
  std::vector<RequestExpectations> requests;
};

struct Action {
  ActionKind kind = ActionKind::WaitIdle;
  std::string text;             // button, key, item text, path, port, wait text
  int index = -1;               // Select by position
  int64_t milliseconds = 0;     // Wait
  int64_t timeoutMs = 600'000;  // waits and the idle wait after an action
  std::string path;             // the action's JSON path, for messages
  std::string allocation;  // FailAllocation: "GlobalAlloc", "Pool", "Irp", "Mdl", "UserRequest"
  std::shared_ptr<const Expectations> expect;  // Expect
  WaitCondition waitFor;                       // WaitFor
};

struct Scenario {
  std::string name;
  std::string description;
  winsim::MachineDescription machine;
  // Files by name: the host path of each (inline texts are written out).
  std::map<std::string, std::filesystem::path> files;
  // The Q417's port ("1/1/2"); found in the machine when not given.
  std::string device;
  // The file whose image the flash is compared with.
  std::string image;
  std::vector<Action> script;
  Expectations expect;
};

// Reads a scenario; paths in it are relative to its folder. Inline file
// texts are written to `scratch`. Throws ScenarioError.
Scenario LoadScenario(const std::filesystem::path& file, const std::filesystem::path& scratch);
Scenario ParseScenario(const std::string& json, const std::filesystem::path& folder,
                       const std::filesystem::path& scratch);

// The port a machine description has at a path ("1/1/2"), or null when the
// path names no port.
const winsim::usb::PortScript* PortAt(const winsim::usb::UsbTreeScript& tree,
                                      const std::string& path);

// The candidate nearest to `name` (edit distance, case ignored); "" when
// there is none.
std::string Nearest(const std::string& name, const std::vector<std::string>& candidates);

// The verifier rules a scenario's `findings` may name.
const std::vector<std::string>& VerifierRules();

// A name of scenario.files becomes its host path; anything else stays.
std::string ResolveFile(const Scenario& scenario, const std::string& name);

}  // namespace quillsim
