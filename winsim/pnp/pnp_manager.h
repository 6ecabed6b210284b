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
// the device's stack as it stands when the request is sent.
//
// Threading: every function may be called from any simulated thread at any
// IRQL up to DISPATCH_LEVEL unless it says otherwise; work that calls
// drivers is queued to the manager's thread, in order.
#pragma once

#include <wdm.h>

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

// The root of the tree (created with the machine).
DeviceNode* Root();
// Adds a node below parent. pdo is the bus's physical device object for a
// device that a function driver may bind to (null for nodes without one).
DeviceNode* AddChild(DeviceNode* parent, NodeProperties properties, PDEVICE_OBJECT pdo);
// Tree walking for cfgmgr32 (null where there is none).
DeviceNode* FirstChild(const DeviceNode* node);
DeviceNode* NextSibling(const DeviceNode* node);
DeviceNode* Parent(const DeviceNode* node);
const NodeProperties& Properties(const DeviceNode* node);
// Nodes are never freed while the machine lives; a removed node stays in
// the tree marked not present (cfgmgr32 then skips it).
bool IsPresent(const DeviceNode* node);

// A service: the driver entry the manager loads for devices whose hardware
// id equals hardwareId (what an installation would register). Call before
// the device arrives.
void RegisterService(std::string hardwareId, std::string serviceName, PDRIVER_INITIALIZE entry);

// The bus reports that the device of node is on the bus: the manager loads
// and starts its service, if one is registered.
void DeviceArrived(DeviceNode* node);
// The device left the bus. surprise: IRP_MN_SURPRISE_REMOVAL now and
// IRP_MN_REMOVE_DEVICE once the last handle of the stack is closed;
// otherwise IRP_MN_QUERY_REMOVE_DEVICE then IRP_MN_REMOVE_DEVICE.
void DeviceRemoved(DeviceNode* node, bool surprise);
// Rebalancing: IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, then
// IRP_MN_START_DEVICE again.
void StopAndRestart(DeviceNode* node);

// Device interfaces: registers an interface of class guid for node, opened
// through target (a device object with a name). Returns the user-mode path
// "\\?\<instance>#{guid}" that SetupDiGetDeviceInterfaceDetailA reports and
// CreateFileA opens.
std::string RegisterDeviceInterface(DeviceNode* node, const GUID& guid, PDEVICE_OBJECT target);
// Paths of the present interfaces of a class, in registration order.
std::vector<std::string> InterfacePaths(const GUID& guid);

// Power: system sleep and wake (IRP_MN_QUERY_POWER, then the system
// IRP_MN_SET_POWER down each started stack). PASSIVE_LEVEL only.
void SystemSleep(SYSTEM_POWER_STATE state);
void SystemWake();

// Blocks the caller (PASSIVE_LEVEL) until the manager's queue is empty.
void WaitIdle();

}  // namespace winsim::pnp
