// winsim: the Plug and Play manager's state, private to winsim/pnp.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ground/scheduler.h"
#include "pnp/pnp_manager.h"

namespace winsim::pnp {

struct DeviceNode {
  NodeProperties properties;
  DeviceNode* parent = nullptr;
  std::vector<std::unique_ptr<DeviceNode>> children;
  uint32_t id = 0;
  PDEVICE_OBJECT pdo = nullptr;  // null once the bus has had the final removal
  bool present = true;
  NodeState state = NodeState::NoDriver;
  PDRIVER_OBJECT driver = nullptr;  // the function driver that AddDevice bound
  std::string service;              // its service (hardware id key)
  // Surprise removal: the file objects still open on the stack; the final
  // IRP_MN_REMOVE_DEVICE goes once they are all closed.
  std::set<PFILE_OBJECT> openFiles;
  // A node without a device object whose bus is told of system power
  // changes itself (SetSystemPowerHandler).
  std::function<void(SYSTEM_POWER_STATE)> systemPower;
};

struct Service {
  std::string name;
  PDRIVER_INITIALIZE entry = nullptr;
  PDRIVER_OBJECT loaded = nullptr;  // null while the driver is not loaded
};

struct InterfaceRecord {
  GUID guid;
  DeviceNode* node;
  std::string path;     // "\\?\..."
  std::u16string link;  // "\??\..."
  bool active;
};

struct PnpState {
  PnpState();
  ~PnpState();
  PnpState(const PnpState&) = delete;
  PnpState& operator=(const PnpState&) = delete;

  std::unique_ptr<DeviceNode> root;
  std::vector<DeviceNode*> nodesById;       // id - 1
  std::map<std::string, Service> services;  // by hardware id
  std::vector<InterfaceRecord> interfaces;
  std::vector<DeviceNode*> removePending;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  // From the system set-power request for a sleep until the wake, the buses'
  // arrivals and departures wait here (a suspended hub reports its port
  // changes on resume); the wake queues them in order.
  bool asleep = false;
  std::vector<std::pair<std::string, std::function<void()>>> heldReports;

  // The manager's thread and its queue.
  std::deque<std::pair<std::string, std::function<void()>>> queue;
  bool threadRunning = false;
  bool busy = false;
  SimThread* thread = nullptr;
  int idleToken = 0;  // address waited on by WaitIdle
};

// The machine's manager state.
PnpState& Manager();

// Queues work for the manager's thread (any thread, any IRQL).
void Queue(std::string what, std::function<void()> work);
// Runs work on the manager's thread and waits for it (inline when called
// there). PASSIVE_LEVEL.
void RunAndWait(const std::string& what, const std::function<void()>& work);

// Records one step in the event log (EventKind::Pnp).
void Record(const DeviceNode* node, const std::string& request, const std::string& driver,
            const std::string& status);
std::string DriverShortName(PDRIVER_OBJECT driver);

// Sends a Plug and Play or power request to the top of node's stack as it
// stands now, waits for it, records it and returns its status.
NTSTATUS SendRequest(DeviceNode* node, UCHAR major, UCHAR minor, const std::string& what,
                     const std::function<void(PIO_STACK_LOCATION)>& setup = {});

// Interfaces: deletes the links of node's interfaces (device_tree.cpp).
void DisableInterfaces(DeviceNode* node);
// Nodes below and including node, children before parents / parents first.
std::vector<DeviceNode*> PostOrder(DeviceNode* node);
std::vector<DeviceNode*> PreOrder(DeviceNode* node);

}  // namespace winsim::pnp
