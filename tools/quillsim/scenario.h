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

// What the device on a port received: its update-mode requests, the OUT
// transfers and pipe resets of its update-mode devices, in order.
struct RequestExpectations {
  std::string port;  // "" before the scenario's device is filled in
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
  std::optional<std::vector<std::string>> messageBoxes;  // every box's text, in order
  std::optional<std::string> status;                     // the final status line
  std::optional<std::string> flash;                      // "image" or "untouched"
  std::optional<std::vector<std::string>> deviceList;    // the list's texts at the end
  std::vector<std::string> trace;                        // DbgPrint lines that must appear
  std::vector<std::string> findings;                     // verifier rules that are expected
  std::optional<bool> applicationEnded;                  // the program has exited
  std::map<std::string, std::string> flashes;            // port -> "image" / "untouched"
  std::map<std::string, bool> controls;                  // control name -> enabled
  std::optional<std::string> selectionText;              // the selected item's text
  std::optional<int64_t> selectionIndex;                 // its position (-1: none)
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

// A name of scenario.files becomes its host path; anything else stays.
std::string ResolveFile(const Scenario& scenario, const std::string& name);

}  // namespace quillsim
