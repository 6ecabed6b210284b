#include "program_session.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "machine/machine_disk.h"
#include "pnp/pnp_manager.h"
#include "programmer_dialog.h"
#include "usb_devices.h"
#include "user/user_process.h"

// quillprog's entry (afx_winmain) and quillfw's (the driver library).
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace quillsim {
namespace {

constexpr winsim::VirtualTime kCloseTimeout = 120'000 * winsim::kTicksPerMillisecond;

void CollectHardwareIds(const std::vector<winsim::usb::PortScript>& ports,
                        std::vector<std::string>& ids) {
  for (const auto& port : ports) {
    if (port.q417) {
      char id[32];
      std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", port.q417->updateMode.vendorId,
                    port.q417->updateMode.productId);
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.emplace_back(id);
    }
    CollectHardwareIds(port.hubPorts, ids);
  }
}

}  // namespace

std::vector<std::string> UpdateModeHardwareIds(const winsim::usb::UsbTreeScript& usb) {
  std::vector<std::string> ids;
  for (const auto& controller : usb.controllers) CollectHardwareIds(controller.rootPorts, ids);
  return ids;
}

ProgramSession::ProgramSession(winsim::MachineDescription description,
                               std::filesystem::path resources)
    : description_(std::move(description)) {
  machine_ = std::make_unique<winsim::Machine>(description_.Config());
  desktop_ =
      std::make_unique<winsim::Desktop>(winsim::DesktopConfig{.module_resources = resources});
  for (const std::string& id : UpdateModeHardwareIds(description_.usb)) {
    winsim::pnp::RegisterService(id, "quillfw", &DriverEntry);
  }
}

ProgramSession::~ProgramSession() {
  bus_.reset();
  desktop_.reset();
  machine_.reset();
}

bool ProgramSession::Run(const std::function<void(winsim::UserAgent&)>& user) {
  bool userDone = false;
  // The application's main thread boots the bus first (the PC is on before
  // the program starts), hands the user their own thread, then runs the
  // program. RunApplication then waits for the program's threads and checks
  // what the program left behind.
  const bool completed = winsim::user::RunApplication(*machine_, [&] {
    bus_ = winsim::usb::UsbBus::Create(description_.usb);
    winsim::pnp::WaitIdle();
    machine_->Sched().CreateThread("user", [&] {
      winsim::UserAgent agent;
      user(agent);
      endedByUser_ = applicationEnded_;
      if (!applicationEnded_) CloseProgram(agent);
      userDone = true;
    });
    // Process-wide state of the program starts as a new process has it.
    UpdateInProgress = 0;
    ClearDeviceTable();
    exitCode_ = WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL);
    applicationEnded_ = true;
  });
  bool shutDown = true;
  if (bus_) shutDown = machine_->Run([&] { bus_->Shutdown(); });
  return completed && shutDown && userDone;
}

void ProgramSession::CloseProgram(winsim::UserAgent& agent) {
  // As a user would: dismiss what is on top, then the dialog's close box.
  closedAfterScript_ = true;
  for (int attempt = 0; attempt < 10 && !applicationEnded_; ++attempt) {
    agent.WaitIdle(kCloseTimeout);
    if (applicationEnded_) break;
    if (agent.MessageBox()) {
      agent.AnswerMessageBox(IDOK);
    } else if (HWND top = agent.TopWindow(); top != nullptr) {
      agent.CloseBox(top);
    }
    agent.WaitUntil([&] { return applicationEnded_ || agent.MessageBox().has_value(); },
                    kCloseTimeout);
  }
}

}  // namespace quillsim
