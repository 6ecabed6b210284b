#include "actions.h"

#include "crt/crt_heap.h"
#include "kernel32/user_process.h"
#include "machine/machine.h"
#include "pnp/pnp_manager.h"
#include "resource.h"

namespace quillsim {
namespace {

SYSTEM_POWER_STATE PowerState(const std::string& name) {
  return name == "S1"   ? PowerSystemSleeping1
         : name == "S2" ? PowerSystemSleeping2
         : name == "S4" ? PowerSystemHibernate
                        : PowerSystemSleeping3;
}

winsim::AllocationKind KernelKind(const std::string& name) {
  return name == "Pool"  ? winsim::AllocationKind::Pool
         : name == "Irp" ? winsim::AllocationKind::Irp
         : name == "Mdl" ? winsim::AllocationKind::Mdl
                         : winsim::AllocationKind::UserRequest;
}

// The About command with its low four bits set, which the system keeps for
// itself (the dialog must mask them off).
constexpr UINT kAboutCommandWithLowBits = IDM_ABOUTBOX | 0x3;

}  // namespace

std::string DoFrameAction(const Action& action, const ActionContext& context) {
  switch (action.kind) {
    case ActionKind::Replug: {
      const winsim::usb::PortScript* port = PortAt(context.scenario.machine.usb, action.text);
      if (port == nullptr || !port->device) {
        return "the machine has no device on port " + action.text;
      }
      if (!context.bus.Plug(action.text, *port)) return "port " + action.text + " is not free";
      return context.settle() ? "" : "the program did not become idle in time";
    }
    case ActionKind::Sleep:
      if (!winsim::pnp::SystemSleep(PowerState(action.text))) {
        return "the machine did not sleep: a driver refused the query";
      }
      return context.settle() ? "" : "the program did not become idle in time";
    case ActionKind::Wake:
      winsim::pnp::SystemWake();
      return context.settle() ? "" : "the program did not become idle in time";
    case ActionKind::Minimize:
    case ActionKind::Restore:
      if (context.dialog == nullptr) return "the main dialog is not shown";
      return context.agent.SystemCommand(
                 context.dialog, action.kind == ActionKind::Minimize ? SC_MINIMIZE : SC_RESTORE)
                 ? ""
                 : "the main dialog takes no system command";
    case ActionKind::About:
      if (context.dialog == nullptr) return "the main dialog is not shown";
      if (action.text == "command") {
        return context.agent.SystemCommand(context.dialog, kAboutCommandWithLowBits)
                   ? ""
                   : "the main dialog takes no system command";
      }
      for (const std::string& item : context.agent.SystemMenuItems(context.dialog)) {
        if (item.rfind("About", 0) == 0) {
          return context.agent.ChooseSystemMenuItem(context.dialog, item) ? ""
                                                                          : "cannot choose " + item;
        }
      }
      return "the system menu has no About item";
    case ActionKind::FailAllocation:
      // Counted from now: the n-th allocation of the kind after this action.
      if (action.allocation == "GlobalAlloc") {
        winsim::kernel32::FailGlobalAllocNth(winsim::kernel32::GlobalAllocCount() + action.index);
      } else if (action.allocation == "Heap") {
        // The C heap is counted from the first such step on, so that a
        // block the program then leaves is reported at its end.
        if (!winsim::crt::HeapFaults::Armed()) winsim::crt::HeapFaults::Arm(0);
        winsim::crt::HeapFaults::FailAt(winsim::crt::HeapFaults::Allocations() + action.index);
      } else {
        winsim::FaultInjector& faults = winsim::Machine::Current().Faults();
        const winsim::AllocationKind kind = KernelKind(action.allocation);
        faults.FailNth(kind, faults.Count(kind) + action.index);
      }
      return "";
    default:
      return "not an action of the frame";
  }
}

std::string DescribeFrameAction(const Action& action) {
  switch (action.kind) {
    case ActionKind::Replug:
      return "plugs the device back into port " + action.text;
    case ActionKind::Sleep:
      return "puts the machine to sleep (" + action.text + ")";
    case ActionKind::Wake:
      return "wakes the machine";
    case ActionKind::Minimize:
      return "minimises the main dialog";
    case ActionKind::Restore:
      return "restores the main dialog";
    case ActionKind::About:
      return action.text == "command" ? "sends the About system command (low bits set)"
                                      : "chooses About from the system menu";
    case ActionKind::FailAllocation:
      return "makes allocation " + std::to_string(action.index) + " of " + action.allocation +
             " from now fail";
    default:
      return "";
  }
}

}  // namespace quillsim
