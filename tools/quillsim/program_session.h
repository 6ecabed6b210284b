// One run of quillprog on a simulated PC, the way a user meets it: the
// machine boots with its USB tree, quillfw is installed as the service of
// the update-mode Q417, quillprog starts (afx's WinMain on the application's
// main thread, which owns its windows), and a user plays it through the user
// agent on a thread of their own. When the user is done, a program still
// running is closed as a user would close it, the application's end is
// checked (handles, memory) and the bus is shut down (drivers unloaded, pool
// checked).
//
// This is the one runner of whole-program runs: quillsim's `run` and `demo`
// use it, and tests can too.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "machine/machine_description.h"
#include "usb/usb_bus.h"
#include "user/desktop.h"
#include "user/user_agent.h"

namespace quillsim {

class ProgramSession {
 public:
  // resources: quillprog's compiled .res.
  ProgramSession(winsim::MachineDescription description, std::filesystem::path resources);
  ~ProgramSession();
  ProgramSession(const ProgramSession&) = delete;
  ProgramSession& operator=(const ProgramSession&) = delete;

  // Plays `user` against the program. Returns false on a hang (the
  // machine's log then holds the Hang event and the finding).
  bool Run(const std::function<void(winsim::UserAgent&)>& user);

  winsim::Machine& Machine() { return *machine_; }
  winsim::usb::UsbBus* Bus() { return bus_.get(); }
  // Whether the program had ended before the user's part was over, and
  // whether quillsim had to close it afterwards.
  bool EndedByUser() const { return endedByUser_; }
  bool ClosedAfterScript() const { return closedAfterScript_; }
  bool ApplicationEnded() const { return applicationEnded_; }
  int ExitCode() const { return exitCode_; }

 private:
  void CloseProgram(winsim::UserAgent& agent);

  winsim::MachineDescription description_;
  std::unique_ptr<winsim::Machine> machine_;
  std::unique_ptr<winsim::Desktop> desktop_;
  std::unique_ptr<winsim::usb::UsbBus> bus_;
  bool applicationEnded_ = false;
  bool endedByUser_ = false;
  bool closedAfterScript_ = false;
  int exitCode_ = -1;
};

// The hardware ids that quillfw serves in this machine: every Q417's
// update-mode identity, "USB\VID_vvvv&PID_pppp".
std::vector<std::string> UpdateModeHardwareIds(const winsim::usb::UsbTreeScript& usb);

}  // namespace quillsim
