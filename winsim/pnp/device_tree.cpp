// winsim: the device tree (the device manager's view) and device interfaces.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "ground/ground.h"
#include "kernel/kernel.h"
#include "pnp/pnp_state.h"

namespace winsim::pnp {

namespace {

// "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}"
std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                unsigned(guid.Data1), unsigned(guid.Data2), unsigned(guid.Data3), guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

// The reference part of an interface's names: the instance with '\' as '#',
// then the class. Windows reports these paths in lower case.
std::string InterfaceReference(const DeviceNode* node, const GUID& guid) {
  std::string reference = node->properties.instanceId;
  std::replace(reference.begin(), reference.end(), '\\', '#');
  reference += "#" + GuidText(guid);
  for (char& c : reference) c = char(std::tolower(static_cast<unsigned char>(c)));
  return reference;
}

void CollectPostOrder(DeviceNode* node, std::vector<DeviceNode*>& out) {
  for (auto& child : node->children) CollectPostOrder(child.get(), out);
  out.push_back(node);
}

void CollectPreOrder(DeviceNode* node, std::vector<DeviceNode*>& out) {
  out.push_back(node);
  for (auto& child : node->children) CollectPreOrder(child.get(), out);
}

}  // namespace

std::vector<DeviceNode*> PostOrder(DeviceNode* node) {
  std::vector<DeviceNode*> out;
  CollectPostOrder(node, out);
  return out;
}

std::vector<DeviceNode*> PreOrder(DeviceNode* node) {
  std::vector<DeviceNode*> out;
  CollectPreOrder(node, out);
  return out;
}

DeviceNode* Root() { return Manager().root.get(); }

DeviceNode* AddChild(DeviceNode* parent, NodeProperties properties, PDEVICE_OBJECT pdo) {
  PnpState& state = Manager();
  auto node = std::make_unique<DeviceNode>();
  node->properties = std::move(properties);
  node->parent = parent;
  node->pdo = pdo;
  node->id = static_cast<uint32_t>(state.nodesById.size() + 1);
  DeviceNode* added = node.get();
  state.nodesById.push_back(added);
  parent->children.push_back(std::move(node));
  return added;
}

DeviceNode* FirstChild(const DeviceNode* node) {
  return node->children.empty() ? nullptr : node->children.front().get();
}

DeviceNode* NextSibling(const DeviceNode* node) {
  if (!node->parent) return nullptr;
  const auto& siblings = node->parent->children;
  auto here = std::find_if(siblings.begin(), siblings.end(),
                           [&](const auto& sibling) { return sibling.get() == node; });
  return here + 1 < siblings.end() ? (here + 1)->get() : nullptr;
}

DeviceNode* Parent(const DeviceNode* node) { return node->parent; }

const NodeProperties& Properties(const DeviceNode* node) { return node->properties; }

bool IsPresent(const DeviceNode* node) { return node->present; }

NodeState State(const DeviceNode* node) { return node->state; }

uint32_t NodeId(const DeviceNode* node) { return node->id; }

DeviceNode* NodeById(uint32_t id) {
  const auto& nodes = Manager().nodesById;
  return id >= 1 && id <= nodes.size() ? nodes[id - 1] : nullptr;
}

std::string RegisterDeviceInterface(DeviceNode* node, const GUID& guid, PDEVICE_OBJECT target) {
  PnpState& state = Manager();
  for (const InterfaceRecord& known : state.interfaces) {
    if (known.node == node && IsEqualGUID(known.guid, guid)) return known.path;
  }
  const std::u16string targetName = kernel::DeviceObjectName(target);
  if (targetName.empty()) {
    Record(node, "RegisterDeviceInterface", "", "no device name");
    return "";
  }
  const std::string reference = InterfaceReference(node, guid);
  InterfaceRecord record{guid, node, "\\\\?\\" + reference, u"\\??\\" + kernel::Widen(reference),
                         false};
  UNICODE_STRING link = kernel::MakeUnicodeString(record.link);
  UNICODE_STRING name = kernel::MakeUnicodeString(targetName);
  const NTSTATUS status = IoCreateSymbolicLink(&link, &name);
  record.active = NT_SUCCESS(status) && node->present;
  Record(node, "RegisterDeviceInterface " + record.path, "", kernel::StatusText(status));
  state.interfaces.push_back(std::move(record));
  return state.interfaces.back().path;
}

void DisableInterfaces(DeviceNode* node) {
  for (InterfaceRecord& record : Manager().interfaces) {
    if (record.node != node || !record.active) continue;
    UNICODE_STRING link = kernel::MakeUnicodeString(record.link);
    IoDeleteSymbolicLink(&link);
    record.active = false;
  }
}

std::vector<DeviceInterface> Interfaces(const GUID& guid, bool includeInactive) {
  std::vector<DeviceInterface> found;
  for (const InterfaceRecord& record : Manager().interfaces) {
    if (!IsEqualGUID(record.guid, guid) || (!record.active && !includeInactive)) continue;
    found.push_back({record.path, record.node, record.active});
  }
  return found;
}

std::vector<std::string> InterfacePaths(const GUID& guid) {
  std::vector<std::string> paths;
  for (const DeviceInterface& found : Interfaces(guid)) paths.push_back(found.path);
  return paths;
}

}  // namespace winsim::pnp
