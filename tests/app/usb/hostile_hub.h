// A test driver posing as a host controller (\\.\HCD7) and its root hub
// (\\.\HOSTILEHUB) whose name answers are scripted to be hostile: too short,
// absurdly long, unterminated, or naming the hub itself.
#pragma once

#include <wdm.h>

#include <cstdint>

namespace apptest {

enum class NameAnswer {
  Proper,        // "HOSTILEHUB", NUL-terminated
  Short,         // ActualLength no longer than the structure's fixed part
  Huge,          // ActualLength 0xFFFFFFF0, then a proper name
  Unterminated,  // the whole buffer filled with 'A', no NUL, odd length
};

struct HostileHubScript {
  NameAnswer rootHubName = NameAnswer::Proper;
  // Port 1 holds a hub whose name answer is this (Proper: the hub itself).
  NameAnswer portHubName = NameAnswer::Proper;
  // Port 2 holds a device whose driver key answer is this (Proper: a key no
  // device node carries).
  NameAnswer driverKeyName = NameAnswer::Proper;
  uint32_t hubOpens = 0;  // creates seen on the hub
};

extern HostileHubScript g_hostileHub;

NTSTATUS NTAPI HostileHubDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace apptest
