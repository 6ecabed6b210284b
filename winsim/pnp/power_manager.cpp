// winsim: the power manager's system transitions: sleep (query, then set)
// and wake, sent down each started stack. Device power IRPs that drivers
// request with PoRequestPowerIrp are the kernel's (po_power.cpp).
#include <utility>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "pnp/pnp_state.h"

namespace winsim::pnp {

namespace {

std::string SystemStateName(SYSTEM_POWER_STATE state) {
  return state >= PowerSystemWorking && state <= PowerSystemShutdown
             ? "S" + std::to_string(int(state) - int(PowerSystemWorking))
             : "S?" + std::to_string(int(state));
}

POWER_ACTION ActionFor(SYSTEM_POWER_STATE state) {
  switch (state) {
    case PowerSystemWorking:
      return PowerActionNone;
    case PowerSystemHibernate:
      return PowerActionHibernate;
    case PowerSystemShutdown:
      return PowerActionShutdown;
    default:
      return PowerActionSleep;
  }
}

NTSTATUS SendSystemPower(DeviceNode* node, UCHAR minor, SYSTEM_POWER_STATE state) {
  const std::string what =
      std::string(minor == IRP_MN_QUERY_POWER ? "IRP_MN_QUERY_POWER " : "IRP_MN_SET_POWER ") +
      SystemStateName(state);
  const int atBusBefore = kernel::SystemSetPowerArrivals(node->pdo);
  const NTSTATUS status =
      SendRequest(node, IRP_MJ_POWER, minor, what, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.SystemContext = 0;
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = state;
        stack->Parameters.Power.ShutdownType = ActionFor(state);
      });
  if (minor == IRP_MN_SET_POWER) {
    // Windows expects every driver to pass a system set-power IRP down to
    // the bus driver; a function driver that completes it itself is seen.
    const bool reached = kernel::SystemSetPowerArrivals(node->pdo) > atBusBefore;
    Record(node, std::string(reached ? "bus driver got " : "bus driver never got ") + what, "", "");
  }
  if (minor == IRP_MN_SET_POWER && !NT_SUCCESS(status)) {
    Ground::Current().Verify().Report(
        rule::kSystemSetPowerFailed,
        DriverShortName(kernel::TopOfStack(node->pdo)->DriverObject) + "!IRP_MJ_POWER",
        what + " completed with " + kernel::StatusText(status));
  }
  return status;
}

std::vector<DeviceNode*> StartedStacks(std::vector<DeviceNode*> nodes) {
  std::erase_if(nodes, [](const DeviceNode* node) {
    return node->state != NodeState::Started || !node->pdo;
  });
  return nodes;
}

// The system set-power request to each started stack, and the news to each
// present node whose bus takes it itself, in the order of nodes.
void SetSystemPower(const std::vector<DeviceNode*>& nodes, SYSTEM_POWER_STATE state) {
  for (DeviceNode* node : nodes) {
    if (node->systemPower && node->present) {
      node->systemPower(state);
    } else if (node->state == NodeState::Started && node->pdo) {
      SendSystemPower(node, IRP_MN_SET_POWER, state);
    }
  }
}

}  // namespace

void SetSystemPowerHandler(DeviceNode* node, std::function<void(SYSTEM_POWER_STATE)> handler) {
  node->systemPower = std::move(handler);
}

bool SystemSleep(SYSTEM_POWER_STATE state) {
  bool slept = false;
  RunAndWait("system sleep", [&] {
    PnpState& manager = Manager();
    const std::vector<DeviceNode*> stacks = StartedStacks(PostOrder(Root()));
    std::vector<DeviceNode*> queried;
    for (DeviceNode* node : stacks) {
      queried.push_back(node);
      if (NT_SUCCESS(SendSystemPower(node, IRP_MN_QUERY_POWER, state))) continue;
      // Vetoed: the stacks asked so far are told that the system stays on.
      Record(node, "system sleep vetoed", "", "");
      for (DeviceNode* asked : queried)
        SendSystemPower(asked, IRP_MN_SET_POWER, PowerSystemWorking);
      return;
    }
    // From the set-power request on the machine sleeps: no user-mode thread
    // runs, and the buses' reports wait for the wake.
    manager.asleep = true;
    Ground::Current().Sched().SetUserModeHeld(true);
    Record(nullptr, "user mode stops: the machine sleeps", "", "");
    SetSystemPower(PostOrder(Root()), state);
    manager.systemPower = state;
    slept = true;
  });
  return slept;
}

void SystemWake() {
  RunAndWait("system wake", [] {
    PnpState& manager = Manager();
    if (manager.systemPower == PowerSystemWorking) return;
    SetSystemPower(PreOrder(Root()), PowerSystemWorking);
    manager.systemPower = PowerSystemWorking;
    // The hubs report what changed on their ports while the machine slept;
    // then user mode goes on (what came due while asleep runs now).
    manager.asleep = false;
    for (auto& [what, work] : std::exchange(manager.heldReports, {})) {
      Queue(what, std::move(work));
    }
    Ground::Current().Sched().SetUserModeHeld(false);
    Record(nullptr, "user mode goes on: the machine is awake", "", "");
  });
}

}  // namespace winsim::pnp
