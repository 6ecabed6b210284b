// app_runner: one run of quillprog on a simulated machine: the one runner of
// whole-program runs, for tests and for quillsim's `run` and `demo`. The
// caller plays the user through a UserAgent.
//
//   winsim::MachineDescription description = winsim::LoadMachineDescription(file);
//   winsim::Machine machine(description.Config());
//   app_runner::RegisterQuillfw();           // once per machine, before its first run
//   app_runner::RunOptions options{.resources = QUILLPROG_RES, .usb = description.usb};
//   app_runner::RunResult result = app_runner::RunQuillprog(machine, options,
//       [](app_runner::Session& session) { ... session.agent.Click(...) ... });
//
// RunQuillprog, called on a host thread while no simulation runs:
//  1. creates the Desktop (the program module's resources: options.resources);
//  2. inside winsim::kernel32::RunApplication (a fresh process: handle table,
//     GlobalAlloc blocks, thread ids) builds the USB bus from options.usb and
//     waits until Plug and Play is idle;
//  3. resets the program's own process-wide data to a new process's
//     (UsbDeviceTable empty, UpdateInProgress 0; afx resets its own state in
//     WinMain, theApp stays registered);
//  4. starts quillprog: afx's WinMain, with theApp, on a simulated thread "ui";
//  5. calls the script on the application's main simulated thread with a
//     Session (the user agent, the bus, the machine, the ui thread's state);
//  6. when the script returns, a program still running is, with
//     options.closeAfterScript, closed as a user would close it (message
//     boxes answered OK, then the top window's close box, each attempt
//     waiting up to options.exitTimeout); then the runner waits
//     (options.exitTimeout, virtual time) for WinMain to return. A program
//     still running after that is told to quit (WM_QUIT posted to its top
//     window, which ends every modal loop), so a script that gave up early
//     still ends; the run is then not clean;
//  7. EndApplication reports handles and memory left behind (verifier
//     findings); then, in a second machine run, the bus shuts down (devices
//     removed, drivers unloaded); the Desktop is destroyed.
//
// RunResult::Clean(): both machine runs ended without a hang, WinMain
// returned on its own, and the verifier holds no finding that was not
// expected (Verifier::Expect) before or during the run.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"
#include "harness/quillfw_service.h"
#include "machine/machine_description.h"
#include "usb/usb_bus.h"
#include "harness/user_agent.h"

namespace app_runner {

// quillfw's service for the update-mode Q417 (QUILLFW_HARDWARE_ID): the
// Plug and Play manager loads it when the device comes back in update mode.
// Host thread, no simulation running; once per machine. The same as
// quillfw_host::RegisterQuillfwService (winsim/harness/quillfw_service.h).
void RegisterQuillfw();

struct RunOptions {
  std::filesystem::path resources;  // quillprog's compiled .res
  winsim::usb::UsbTreeScript usb;   // the machine's USB tree
  // How long the program may take to end after the script returns.
  winsim::VirtualTime exitTimeout = 60'000 * winsim::kTicksPerMillisecond;
  // Close a program still running after the script as a user would (step 6).
  bool closeAfterScript = false;
};

struct Session {
  winsim::Machine& machine;
  winsim::usb::UsbBus& bus;
  winsim::UserAgent& agent;
  // True once afx's WinMain has returned (the program has ended).
  const bool& programEnded;
};

using Script = std::function<void(Session&)>;

struct RunResult {
  bool applicationRan = false;  // the application's machine run ended without a hang
  bool busShutDown = false;     // the shutdown run ended without a hang
  bool programEnded = false;    // WinMain returned before the runner had to quit it
  int exitCode = -1;            // WinMain's result (afx: the exit code)
  std::vector<std::string> unexpectedFindings;  // "rule at place: detail"
  bool endedDuringScript = false;               // WinMain had returned when the script returned
  bool closedAfterScript = false;               // the runner closed the program as a user would
  // The bus after its shutdown, for what its devices recorded (History);
  // nullptr when it was never built. Release it before the Machine.
  std::shared_ptr<winsim::usb::UsbBus> bus;

  bool Clean() const {
    return applicationRan && busShutDown && programEnded && unexpectedFindings.empty();
  }
};

RunResult RunQuillprog(winsim::Machine& machine, const RunOptions& options, const Script& script);

}  // namespace app_runner
