// The script's actions on the machine and the main dialog's frame: replug,
// sleep and wake, minimise and restore, About, failed allocations.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "harness/user_agent.h"
#include "scenario.h"
#include "usb/usb_bus.h"

namespace quillsim {

struct ActionContext {
  const Scenario& scenario;
  winsim::usb::UsbBus& bus;
  winsim::UserAgent& agent;
  HWND dialog;                   // the main dialog, or null
  std::function<bool()> settle;  // waits until the program is idle
};

// Does one of these actions; returns "" or why the user could not.
std::string DoFrameAction(const Action& action, const ActionContext& context);
// What the user does, for the account.
std::string DescribeFrameAction(const Action& action);

}  // namespace quillsim
