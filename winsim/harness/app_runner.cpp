#include "harness/app_runner.h"

#include <memory>
#include <optional>
#include <utility>

#include "pnp/pnp_manager.h"
#include "programmer_dialog.h"
#include "user32/desktop.h"
#include "kernel32/user_process.h"
#include "usb_devices.h"

// afx's entry point (afx_winmain), as the C runtime's start-up calls it.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

namespace app_runner {
namespace {

std::string Describe(const winsim::Finding& finding) {
  return finding.rule + " at " + finding.place + ": " + finding.detail;
}

// What the "ui" thread shares with the runner.
char g_commandLine[] = "";

struct ProgramThread {
  bool ended = false;
  int exitCode = -1;
};

// Closes the program as a user would: answers what message box is up with
// OK, else presses the top window's close box, until the program has ended
// (or a few attempts made no difference).
void CloseAsAUser(winsim::UserAgent& agent, const ProgramThread& program,
                  winsim::VirtualTime timeout) {
  for (int attempt = 0; attempt < 10 && !program.ended; ++attempt) {
    agent.WaitIdle(timeout);
    if (program.ended) break;
    if (agent.MessageBox()) {
      agent.AnswerMessageBox(IDOK);
    } else if (HWND top = agent.TopWindow(); top != nullptr) {
      agent.CloseBox(top);
    }
    agent.WaitUntil([&] { return program.ended || agent.MessageBox().has_value(); }, timeout);
  }
}

}  // namespace

void RegisterQuillfw() { quillfw_host::RegisterQuillfwService(); }

RunResult RunQuillprog(winsim::Machine& machine, const RunOptions& options, const Script& script) {
  RunResult result;
  winsim::DesktopConfig desktopConfig;
  desktopConfig.module_resources = options.resources;
  auto desktop = std::make_unique<winsim::Desktop>(desktopConfig);

  std::shared_ptr<winsim::usb::UsbBus> bus;
  ProgramThread program;
  bool quitSent = false;

  result.applicationRan = winsim::kernel32::RunApplication(machine, [&] {
    winsim::Scheduler& scheduler = machine.Sched();
    bus = winsim::usb::UsbBus::Create(options.usb);
    winsim::pnp::WaitIdle();

    // A new process's data: the loader zero-fills what the previous run of
    // this host process left behind.
    UsbDeviceTable = DeviceTable{};
    UpdateInProgress = 0;

    scheduler.CreateThread(
        "ui",
        [&] {
          program.exitCode =
              WinMain(GetModuleHandleA(nullptr), nullptr, g_commandLine, SW_SHOWNORMAL);
          program.ended = true;
          winsim::Machine::Current().Sched().Wake(&program);
        },
        PASSIVE_LEVEL, false, true);

    winsim::UserAgent agent;
    Session session{machine, *bus, agent, program.ended};
    script(session);
    result.endedDuringScript = program.ended;

    if (!program.ended && options.closeAfterScript) {
      result.closedAfterScript = true;
      machine.Log().Add(winsim::EventKind::User, "runner closes the program as a user would", {});
      CloseAsAUser(agent, program, options.exitTimeout);
    }
    const winsim::VirtualTime deadline = scheduler.Now() + options.exitTimeout;
    while (!program.ended && scheduler.WaitOn(&program, deadline, "quillprog's end")) {
    }
    if (!program.ended) {
      // The script left the program running: end its modal loops as
      // Windows does for WM_QUIT, so the run can finish.
      quitSent = true;
      machine.Log().Add(winsim::EventKind::User, "runner quits the program", {});
      if (HWND top = agent.TopWindow(); top != nullptr) PostMessageA(top, WM_QUIT, 0, 0);
      while (!program.ended) scheduler.WaitOn(&program, -1, "quillprog's end after WM_QUIT");
    }
  });

  if (bus) {
    result.busShutDown = machine.Run([&] { bus->Shutdown(); });
  }
  desktop.reset();

  result.programEnded = program.ended && !quitSent;
  result.exitCode = program.exitCode;
  result.bus = std::move(bus);
  for (const winsim::Finding& finding : machine.Verify().Unexpected()) {
    result.unexpectedFindings.push_back(Describe(finding));
  }
  return result;
}

}  // namespace app_runner
