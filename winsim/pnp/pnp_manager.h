// winsim: the Plug and Play manager's interface for the buses (the USB bus),
// user mode (cfgmgr32, setupapi), quillsim and tests.
//
// The device tree mirrors the device manager: the root, buses, host
// controllers, hubs and devices, each node with its properties. Buses add
// nodes and report arrivals and departures; the manager then runs the
// Plug and Play sequence on its own simulated thread at PASSIVE_LEVEL:
// DriverEntry once per driver load, AddDevice, IRP_MN_QUERY_CAPABILITIES,
// IRP_MN_START_DEVICE; on departure the removal requests; DriverUnload after
// the driver's last device object is gone. Every request goes to the top of
// the device's stack as it stands when the request is sent. Each step is
// recorded in the event log (EventKind::Pnp, fields "request", "device",
// "status").
//
// Threading: every function may be called from any simulated thread at any
// IRQL up to DISPATCH_LEVEL unless it says otherwise; work that calls
// drivers is queued to the manager's thread, in order. Simulated threads run
// one at a time, so the tree needs no lock; the host thread may build the
// tree (AddChild, RegisterService) while no simulation runs.
#pragma once

#include <guiddef.h>
#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsim::pnp {

struct DeviceNode;  // owned by the manager

struct NodeProperties {
  std::string instanceId;   // "USB\VID_0417&PID_F001\5&2D3C1A&0&2"
  std::string hardwareId;   // matched against registered services: "USB\VID_0417&PID_F001"
  std::string driverKey;    // CM_DRP_DRIVER; empty: no driver installed (no value)
  std::string description;  // CM_DRP_DEVICEDESC; empty: no value
};

// The root of the tree (created with the machine; instance "HTREE\ROOT\0").
DeviceNode* Root();
// Adds a present node below parent. pdo is the bus's physical device object
// for a device that a function driver may bind to (null for nodes without
// one). A device that leaves the bus and comes back (re-enumeration) is a
// new node; the old one stays, not present.
DeviceNode* AddChild(DeviceNode* parent, NodeProperties properties, PDEVICE_OBJECT pdo);
// Tree walking for cfgmgr32 (null where there is none). These see every
// node, present or not.
DeviceNode* FirstChild(const DeviceNode* node);
DeviceNode* NextSibling(const DeviceNode* node);
DeviceNode* Parent(const DeviceNode* node);
const NodeProperties& Properties(const DeviceNode* node);
// Nodes are never freed while the machine lives; a removed node stays in
// the tree marked not present (cfgmgr32 then skips it).
bool IsPresent(const DeviceNode* node);
// cfgmgr32's DEVINST for a node (1 for the root, never 0), and back (null
// for a number that names no node).
uint32_t NodeId(const DeviceNode* node);
DeviceNode* NodeById(uint32_t id);

// Where a node's device stands.
enum class NodeState {
  NoDriver,       // no function driver: none registered, or not arrived yet
  Started,        // IRP_MN_START_DEVICE succeeded
  Stopped,        // stopped for rebalancing (only while StopAndRestart runs)
  Failed,         // DriverEntry, AddDevice or the start failed; removed again
  RemovePending,  // surprise-removed; IRP_MN_REMOVE_DEVICE waits for the last handle
  Removed,        // IRP_MN_REMOVE_DEVICE sent; the node has left the tree
};
NodeState State(const DeviceNode* node);

// A service: the driver entry the manager loads for devices whose hardware
// id equals hardwareId (what an installation would register). Call before
// the device arrives.
void RegisterService(std::string hardwareId, std::string serviceName, PDRIVER_INITIALIZE entry);

// The bus reports that the device of node is on the bus: the manager loads
// and starts its service, if one is registered. A failed start is followed
// by IRP_MN_REMOVE_DEVICE, as on Windows.
void DeviceArrived(DeviceNode* node);
// The device left the bus (its present children go first). surprise:
// IRP_MN_SURPRISE_REMOVAL now and IRP_MN_REMOVE_DEVICE once the last handle
// of the stack is closed. Otherwise an orderly removal (as an eject):
// IRP_MN_QUERY_REMOVE_DEVICE then IRP_MN_REMOVE_DEVICE; a driver that fails
// the query, or a handle still open, vetoes it (IRP_MN_CANCEL_REMOVE_DEVICE
// then, and the device stays). A device without a function driver gets
// IRP_MN_REMOVE_DEVICE alone, so that its bus can delete the PDO.
void DeviceRemoved(DeviceNode* node, bool surprise);
// Rebalancing: IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, then
// IRP_MN_START_DEVICE again (IRP_MN_CANCEL_STOP_DEVICE when the query fails).
void StopAndRestart(DeviceNode* node);

// Device interfaces: registers an interface of class guid for node, opened
// through target (a device object with a name): creates the symbolic link
// "\??\<instance, '\' as '#'>#{guid}" to target's name. Returns the
// user-mode path "\\?\<instance>#{guid}" that SetupDiGetDeviceInterfaceDetailA
// reports and CreateFileA opens ("" when target has no name). The link goes
// when the node is removed. PASSIVE_LEVEL.
std::string RegisterDeviceInterface(DeviceNode* node, const GUID& guid, PDEVICE_OBJECT target);
struct DeviceInterface {
  std::string path;
  DeviceNode* node;
  bool active;  // the node is present and the link exists
};
// The interfaces of a class in registration order (inactive ones only when
// asked for).
std::vector<DeviceInterface> Interfaces(const GUID& guid, bool includeInactive = false);
// Paths of the present interfaces of a class, in registration order.
std::vector<std::string> InterfacePaths(const GUID& guid);

// Power: system sleep and wake. Sleep sends IRP_MN_QUERY_POWER for state to
// each started stack (children before parents); if every one agrees, the
// system IRP_MN_SET_POWER follows, and true is returned. A failed query
// vetoes the sleep: the stacks already asked get IRP_MN_SET_POWER for
// PowerSystemWorking, as Windows does, and false is returned. Wake sends
// IRP_MN_SET_POWER for PowerSystemWorking (parents first). Both run on the
// manager's thread and return when done. PASSIVE_LEVEL only.
bool SystemSleep(SYSTEM_POWER_STATE state);
void SystemWake();
// A node without a device object (a hub, whose own stack gets the system
// set-power request on Windows) whose bus is told of a sleep and of the wake
// by handler, on the manager's thread at PASSIVE_LEVEL, in the order the
// stacks get their IRP_MN_SET_POWER: after the nodes below it at a sleep,
// before them at the wake. A null handler stops it.
void SetSystemPowerHandler(DeviceNode* node, std::function<void(SYSTEM_POWER_STATE)> handler);

// Blocks the caller (PASSIVE_LEVEL, not the manager's own thread) until the
// manager's queue is empty and nothing runs.
void WaitIdle();

}  // namespace winsim::pnp
