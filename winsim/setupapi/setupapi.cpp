// winsim: setupapi, device interface sets over the Plug and Play manager's
// registered interfaces. A set is a snapshot taken by SetupDiGetClassDevsA,
// as on Windows; its interface data carries the member's index in Reserved.
#include <windows.h>
#include <setupapi.h>

#include <strings.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "pnp/pnp_manager.h"

namespace {

struct InterfaceSet {
  GUID guid;
  std::vector<winsim::pnp::DeviceInterface> members;
};

struct SetupApiState {
  std::map<HDEVINFO, std::unique_ptr<InterfaceSet>> sets;
};

SetupApiState& State() { return winsim::Machine::Current().State<SetupApiState>(); }

// Sets the thread's last error, as setupapi does on every failure.
template <class Result>
Result Fail(DWORD error, Result result) {
  SetLastError(error);
  return result;
}

InterfaceSet* FindSet(HDEVINFO handle) {
  auto& sets = State().sets;
  auto found = sets.find(handle);
  return found == sets.end() ? nullptr : found->second.get();
}

// "USB" of "USB\VID_...\...".
std::string Enumerator(const std::string& instanceId) {
  return instanceId.substr(0, instanceId.find('\\'));
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags) {
  if (!(Flags & DIGCF_DEVICEINTERFACE) || (Flags & DIGCF_ALLCLASSES)) {
    return Fail(ERROR_INVALID_FLAGS, INVALID_HANDLE_VALUE);  // winsim keeps interface sets only
  }
  if (!ClassGuid) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  auto set = std::make_unique<InterfaceSet>();
  set->guid = *ClassGuid;
  for (const winsim::pnp::DeviceInterface& found :
       winsim::pnp::Interfaces(*ClassGuid, !(Flags & DIGCF_PRESENT))) {
    if (Enumerator && *Enumerator &&
        strcasecmp(::Enumerator(winsim::pnp::Properties(found.node).instanceId).c_str(),
                   Enumerator) != 0) {
      continue;
    }
    set->members.push_back(found);
  }
  HDEVINFO handle = set.get();
  State().sets.emplace(handle, std::move(set));
  return handle;
}

WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  InterfaceSet* set = FindSet(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (!InterfaceClassGuid) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  DWORD seen = 0;
  for (size_t index = 0; index < set->members.size(); ++index) {
    const winsim::pnp::DeviceInterface& member = set->members[index];
    if (!IsEqualGUID(set->guid, *InterfaceClassGuid)) break;
    if (DeviceInfoData && DeviceInfoData->DevInst != winsim::pnp::NodeId(member.node)) continue;
    if (seen++ != MemberIndex) continue;
    DeviceInterfaceData->InterfaceClassGuid = set->guid;
    DeviceInterfaceData->Flags = member.active ? SPINT_ACTIVE : SPINT_REMOVED;
    DeviceInterfaceData->Reserved = index + 1;
    return TRUE;
  }
  return Fail(ERROR_NO_MORE_ITEMS, FALSE);
}

WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  InterfaceSet* set = FindSet(DeviceInfoSet);
  if (!set) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  const ULONG_PTR member = DeviceInterfaceData->Reserved;
  if (member < 1 || member > set->members.size()) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  // Without a buffer the size must be 0 (the size query); with one, its
  // cbSize must be sizeof the structure and there must be room for at least
  // an empty path.
  if (DeviceInterfaceDetailData
          ? DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
                DeviceInterfaceDetailDataSize < kPathOffset + 1
          : DeviceInterfaceDetailDataSize != 0) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER, FALSE);
  }
  const winsim::pnp::DeviceInterface& found = set->members[member - 1];
  const DWORD required = static_cast<DWORD>(kPathOffset + found.path.size() + 1);
  if (RequiredSize) *RequiredSize = required;
  if (DeviceInfoData) {
    DeviceInfoData->ClassGuid = GUID{};  // winsim keeps no setup classes
    DeviceInfoData->DevInst = winsim::pnp::NodeId(found.node);
    DeviceInfoData->Reserved = 0;
  }
  if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < required) {
    return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, found.path.c_str(), found.path.size() + 1);
  return TRUE;
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (!State().sets.erase(DeviceInfoSet)) return Fail(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

}  // extern "C"
