// Test-only Plug and Play manager (see fake_pnp.h). Removal sends the
// removal requests to the top of the device's stack on a thread of its own
// at PASSIVE_LEVEL, as the real manager does; arrival loads nothing.
#include "fake_pnp.h"

#include <guiddef.h>

#include <deque>
#include <memory>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "pnp/pnp_manager.h"

namespace winsim::pnp {

struct DeviceNode {
  NodeProperties properties;
  PDEVICE_OBJECT pdo = nullptr;
  DeviceNode* parent = nullptr;
  bool present = true;
};

}  // namespace winsim::pnp

namespace {

using winsim::pnp::DeviceNode;

std::deque<std::unique_ptr<DeviceNode>>& Nodes() {
  static std::deque<std::unique_ptr<DeviceNode>> nodes;
  return nodes;
}

int& Busy() {
  static int busy = 0;
  return busy;
}

void SendPnp(PDEVICE_OBJECT pdo, UCHAR minor) {
  winsim::kernel::SendIrpAndWait(winsim::kernel::TopOfStack(pdo),
                                 [minor](PIO_STACK_LOCATION stack) {
                                   stack->MajorFunction = IRP_MJ_PNP;
                                   stack->MinorFunction = minor;
                                 });
}

}  // namespace

namespace fake_pnp {

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}

void Reset() {
  Calls().clear();
  Nodes().clear();
  Busy() = 0;
}

}  // namespace fake_pnp

namespace winsim::pnp {

__attribute__((weak)) DeviceNode* Root() {
  if (Nodes().empty()) {
    Nodes().push_back(std::make_unique<DeviceNode>());
  }
  return Nodes().front().get();
}

__attribute__((weak)) DeviceNode* AddChild(DeviceNode* parent, NodeProperties properties,
                                           PDEVICE_OBJECT pdo) {
  fake_pnp::Calls().push_back("add " + properties.instanceId);
  auto node = std::make_unique<DeviceNode>();
  node->properties = std::move(properties);
  node->pdo = pdo;
  node->parent = parent;
  Nodes().push_back(std::move(node));
  return Nodes().back().get();
}

__attribute__((weak)) const NodeProperties& Properties(const DeviceNode* node) {
  return node->properties;
}

__attribute__((weak)) bool IsPresent(const DeviceNode* node) { return node->present; }

__attribute__((weak)) void DeviceArrived(DeviceNode* node) {
  fake_pnp::Calls().push_back("arrived " + node->properties.instanceId);
}

__attribute__((weak)) void DeviceRemoved(DeviceNode* node, bool surprise) {
  fake_pnp::Calls().push_back("removed " + node->properties.instanceId +
                              (surprise ? " surprise" : " orderly"));
  node->present = false;
  ++Busy();
  PDEVICE_OBJECT pdo = node->pdo;
  Machine::Current().Sched().CreateThread("fake pnp removal", [pdo, surprise] {
    SendPnp(pdo, surprise ? IRP_MN_SURPRISE_REMOVAL : IRP_MN_QUERY_REMOVE_DEVICE);
    SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
    --Busy();
  });
}

__attribute__((weak)) std::string RegisterDeviceInterface(DeviceNode* node, const GUID&,
                                                          PDEVICE_OBJECT) {
  const std::string path = "\\\\?\\" + node->properties.instanceId;
  fake_pnp::Calls().push_back("interface " + path);
  return path;
}

__attribute__((weak)) void WaitIdle() {
  while (Busy() > 0) {
    Machine::Current().Sched().Yield();
  }
}

}  // namespace winsim::pnp
