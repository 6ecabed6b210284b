// winsim: cfgmgr32, the configuration manager's view of the Plug and Play
// manager's device tree. DEVINST handles are the manager's node numbers;
// nodes that are not present (removed devices) are skipped by the walks and
// refused as handles.
#include <windows.h>
#include <cfgmgr32.h>

#include <cstring>
#include <string>
#include <strings.h>

#include "pnp/pnp_manager.h"

namespace {

using winsim::pnp::DeviceNode;

DeviceNode* PresentNode(DEVINST handle) {
  DeviceNode* node = winsim::pnp::NodeById(handle);
  return node && winsim::pnp::IsPresent(node) ? node : nullptr;
}

DeviceNode* PresentFrom(DeviceNode* node) {
  while (node && !winsim::pnp::IsPresent(node)) node = winsim::pnp::NextSibling(node);
  return node;
}

// The three steps share their argument checks.
template <class Step>
CONFIGRET Move(PDEVINST result, DEVINST from, ULONG flags, Step step) {
  if (!result) return CR_INVALID_POINTER;
  *result = 0;
  if (flags != 0) return CR_INVALID_FLAG;
  DeviceNode* node = PresentNode(from);
  if (!node) return CR_INVALID_DEVNODE;
  DeviceNode* next = step(node);
  if (!next) return CR_NO_SUCH_DEVNODE;
  *result = winsim::pnp::NodeId(next);
  return CR_SUCCESS;
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
  if (!pdnDevInst) return CR_INVALID_POINTER;
  *pdnDevInst = 0;
  if (ulFlags & ~ULONG(CM_LOCATE_DEVNODE_BITS)) return CR_INVALID_FLAG;
  DeviceNode* root = winsim::pnp::Root();
  if (!pDeviceID || !*pDeviceID) {
    *pdnDevInst = winsim::pnp::NodeId(root);
    return CR_SUCCESS;
  }
  // Device instance IDs compare without regard to case.
  for (uint32_t id = 1; DeviceNode* node = winsim::pnp::NodeById(id); ++id) {
    if (strcasecmp(winsim::pnp::Properties(node).instanceId.c_str(), pDeviceID) != 0) continue;
    if (!winsim::pnp::IsPresent(node) && !(ulFlags & CM_LOCATE_DEVNODE_PHANTOM)) continue;
    *pdnDevInst = id;
    return CR_SUCCESS;
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Move(pdnDevInst, dnDevInst, ulFlags,
              [](DeviceNode* node) { return PresentFrom(winsim::pnp::FirstChild(node)); });
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST DevInst, ULONG ulFlags) {
  return Move(pdnDevInst, DevInst, ulFlags,
              [](DeviceNode* node) { return PresentFrom(winsim::pnp::NextSibling(node)); });
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
  return Move(pdnDevInst, dnDevInst, ulFlags,
              [](DeviceNode* node) { return winsim::pnp::Parent(node); });
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST dnDevInst, ULONG ulProperty,
                                                   PULONG pulRegDataType, PVOID Buffer,
                                                   PULONG pulLength, ULONG ulFlags) {
  if (!pulLength || (!Buffer && *pulLength != 0)) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  if (ulProperty < CM_DRP_MIN || ulProperty > CM_DRP_MAX) return CR_INVALID_PROPERTY;
  DeviceNode* node = PresentNode(dnDevInst);
  if (!node) return CR_INVALID_DEVNODE;
  const winsim::pnp::NodeProperties& properties = winsim::pnp::Properties(node);
  // The tree keeps its texts in the ANSI code page already.
  std::string value;
  ULONG type = REG_SZ;
  switch (ulProperty) {
    case CM_DRP_DEVICEDESC:
      value = properties.description;
      break;
    case CM_DRP_DRIVER:
      value = properties.driverKey;
      break;
    case CM_DRP_HARDWAREID:
      value = properties.hardwareId;
      type = REG_MULTI_SZ;
      break;
    default:
      break;  // winsim keeps no other property
  }
  if (value.empty()) return CR_NO_SUCH_VALUE;
  value.push_back('\0');
  if (type == REG_MULTI_SZ) value.push_back('\0');
  if (pulRegDataType) *pulRegDataType = type;
  const ULONG size = static_cast<ULONG>(value.size());
  if (*pulLength < size) {
    *pulLength = size;
    return CR_BUFFER_SMALL;
  }
  std::memcpy(Buffer, value.data(), size);
  *pulLength = size;
  return CR_SUCCESS;
}

}  // extern "C"
