#include <string.h>

#include <windows.h>
#include <cfgmgr32.h>

#include "device_description.h"

namespace {

char SharedDescription[DescriptionBufferSize];

// Reads a string property of a node into the shared buffer. A value that
// fills the buffer without a terminator is longer than the buffer: refused,
// like one that Windows reports as too large.
bool ReadNodeProperty(DEVINST node, ULONG property) {
  ULONG length = DescriptionBufferSize;
  SharedDescription[DescriptionBufferSize - 1] = '\0';
  if (CM_Get_DevNode_Registry_PropertyA(node, property, NULL, SharedDescription, &length, 0) !=
      CR_SUCCESS) {
    return false;
  }
  if (SharedDescription[DescriptionBufferSize - 1] != '\0') {
    SharedDescription[DescriptionBufferSize - 1] = '\0';
    return false;
  }
  return true;
}

// The node after this one in depth-first pre-order; false when the whole
// tree has been visited.
bool NextNode(DEVINST& node) {
  DEVINST next = 0;
  if (CM_Get_Child(&next, node, 0) == CR_SUCCESS) {
    node = next;
    return true;
  }
  for (;;) {
    if (CM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
      node = next;
      return true;
    }
    if (CM_Get_Parent(&next, node, 0) != CR_SUCCESS) {
      return false;
    }
    node = next;
  }
}

}  // namespace

const char* LookupDeviceDescription(const char* driverKeyName) {
  DEVINST node = 0;
  if (CM_Locate_DevNodeA(&node, NULL, 0) != CR_SUCCESS) {
    return NULL;
  }
  while (!ReadNodeProperty(node, CM_DRP_DRIVER) || strcmp(SharedDescription, driverKeyName) != 0) {
    if (!NextNode(node)) {
      return NULL;
    }
  }
  return ReadNodeProperty(node, CM_DRP_DEVICEDESC) ? SharedDescription : NULL;
}
