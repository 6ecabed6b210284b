// winsim: driver objects, device objects and device stacks.
#include <algorithm>
#include <cstdio>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"

namespace winsim::kernel {

namespace {

constexpr CSHORT kDeviceObjectType = 3;
constexpr CSHORT kDriverObjectType = 4;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

DeviceRecord* FindDevice(PDEVICE_OBJECT device) {
  auto& devices = State().devices;
  auto found = devices.find(device);
  return found == devices.end() ? nullptr : found->second.get();
}

void FreeDeviceObject(PDEVICE_OBJECT device) {
  KernelState& state = State();
  PDRIVER_OBJECT driver = device->DriverObject;
  if (state.drivers.contains(driver)) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == device) {
        *link = device->NextDevice;
        break;
      }
    }
  }
  state.devices.erase(device);
  state.deletedDevices.insert(device);
  for (auto& [pdo, devices] : state.removePendingStacks) devices.erase(device);
  std::erase_if(state.powerQueues,
                [device](const auto& entry) { return entry.first.first == device; });
  state.systemSetPowerAtBus.erase(device);
}

void MaybeFree(PDEVICE_OBJECT device) {
  DeviceRecord* record = FindDevice(device);
  if (record && record->deleted && record->openFiles == 0 && device->ReferenceCount <= 0) {
    FreeDeviceObject(device);
  }
}

// Windows lets no driver detach or delete its device object between
// IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE: open handles may still
// send requests to it.
void CheckNotRemovePending(PDEVICE_OBJECT device, const char* call) {
  for (const auto& [pdo, devices] : State().removePendingStacks) {
    if (devices.contains(device)) {
      Verify().Report(rule::kDeletedBeforeRemove, CurrentPlace(),
                      std::string(call) +
                          " while the stack's removal is pending (after IRP_MN_SURPRISE_REMOVAL, "
                          "before IRP_MN_REMOVE_DEVICE)");
      return;
    }
  }
}

}  // namespace

void SetStackRemovePending(PDEVICE_OBJECT physicalDevice, bool pending) {
  KernelState& state = State();
  if (!pending) {
    state.removePendingStacks.erase(physicalDevice);
    return;
  }
  std::set<PDEVICE_OBJECT>& devices = state.removePendingStacks[physicalDevice];
  for (PDEVICE_OBJECT device = physicalDevice; device; device = device->AttachedDevice)
    devices.insert(device);
}

void ReleaseDeviceReference(PDEVICE_OBJECT device) {
  if (DeviceRecord* record = FindDevice(device)) {
    --record->openFiles;
    MaybeFree(device);
  }
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

std::u16string DeviceObjectName(PDEVICE_OBJECT device) {
  const DeviceRecord* record = FindDevice(device);
  return record ? record->name : std::u16string();
}

size_t DeviceObjectCount(PDRIVER_OBJECT driver) {
  const auto& devices = State().devices;
  return std::count_if(devices.begin(), devices.end(),
                       [&](const auto& entry) { return entry.first->DriverObject == driver; });
}

PDRIVER_OBJECT LoadDriver(std::string_view name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
  auto record = std::make_unique<DriverRecord>();
  record->object = std::make_unique<DRIVER_OBJECT>();
  record->extension = std::make_unique<DRIVER_EXTENSION>();
  record->shortName = std::string(name);
  record->name = u"\\Driver\\" + Widen(name);
  record->registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(name);
  PDRIVER_OBJECT driver = record->object.get();
  driver->Type = kDriverObjectType;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = record->extension.get();
  driver->DriverExtension->DriverObject = driver;
  driver->DriverName = MakeUnicodeString(record->name);
  driver->DriverInit = entry;
  for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  UNICODE_STRING registryPath = MakeUnicodeString(record->registryPath);
  State().drivers.emplace(driver, std::move(record));
  Log().Add(EventKind::Pnp, "DriverEntry " + std::string(name));
  NTSTATUS result;
  {
    RoutineScope scope(driver, "DriverEntry");
    result = entry(driver, &registryPath);
  }
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    // Windows unloads a driver whose entry failed without calling its unload
    // routine: whatever it left allocated leaks.
    CheckPoolAtUnload(driver);
    CheckRemoveLocksAtUnload(driver);
    CheckIrpsAndMdlsAtUnload(driver);
    State().drivers.erase(driver);
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  KernelState& state = State();
  if (!state.drivers.contains(driver)) return;
  Log().Add(EventKind::Pnp, "DriverUnload " + DriverName(driver));
  if (driver->DriverUnload) {
    RoutineScope scope(driver, "DriverUnload");
    driver->DriverUnload(driver);
  }
  for (const auto& [device, record] : state.devices) {
    if (device->DriverObject != driver) continue;
    Verify().Report(rule::kDeviceLeak, DriverName(driver),
                    record->deleted
                        ? "a deleted device object is still referenced at unload"
                        : "device object " + Hex(reinterpret_cast<uintptr_t>(device), 0) +
                              " not deleted by unload");
  }
  CheckPoolAtUnload(driver);
  CheckRemoveLocksAtUnload(driver);
  CheckIrpsAndMdlsAtUnload(driver);
  // Device objects that outlive their driver keep a pointer that no longer
  // leads anywhere; the findings above report them.
  state.drivers.erase(driver);
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  std::vector<PDEVICE_OBJECT> before;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
    before.push_back(device);
  NTSTATUS status;
  {
    RoutineScope scope(driver, "AddDevice");
    status = driver->DriverExtension->AddDevice(driver, physicalDevice);
  }
  for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
    if (std::find(before.begin(), before.end(), device) != before.end()) continue;
    const DeviceRecord* record = FindDevice(device);
    if (record && !record->deleted && (device->Flags & DO_DEVICE_INITIALIZING)) {
      Verify().Report(rule::kDeviceInitializing, DriverName(driver) + "!AddDevice",
                      "DO_DEVICE_INITIALIZING still set after AddDevice");
    }
  }
  return status;
}

}  // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
    Verify().Report(winsim::rule::kIrql, CurrentPlace(), "IoCreateDevice above PASSIVE_LEVEL");
  }
  static ULONG autoNameCounter = 0;
  std::u16string name;
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char text[32];
    std::snprintf(text, sizeof text, "\\Device\\%08X", ++autoNameCounter);
    name = Widen(text);
  } else if (DeviceName && DeviceName->Buffer) {
    name.assign(reinterpret_cast<const char16_t*>(DeviceName->Buffer), DeviceName->Length / 2);
  }
  auto record = std::make_unique<DeviceRecord>();
  const size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
  record->storage = std::make_unique<std::byte[]>(extensionOffset + DeviceExtensionSize);
  auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->storage.get());
  if (!name.empty() && !InsertDeviceName(name, device)) {
    *DeviceObject = nullptr;
    return STATUS_OBJECT_NAME_COLLISION;
  }
  record->name = name;
  device->Type = kDeviceObjectType;
  device->Size = static_cast<USHORT>(extensionOffset + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? record->storage.get() + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  State().deletedDevices.erase(device);
  State().devices.emplace(device, std::move(record));
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceRecord* record = FindDevice(DeviceObject);
  if (!record || record->deleted) {
    Verify().Report(winsim::rule::kDeletedTwice, CurrentPlace(),
                    "IoDeleteDevice of a device object already deleted");
    return;
  }
  CheckNotRemovePending(DeviceObject, "IoDeleteDevice");
  if (!record->name.empty()) RemoveDeviceName(record->name);
  record->name.clear();
  record->deleted = true;
  MaybeFree(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  DeviceRecord* target = FindDevice(TargetDevice);
  DeviceRecord* source = FindDevice(SourceDevice);
  if (!target || target->deleted || !source) return nullptr;
  PDEVICE_OBJECT top = TopOfStack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  source->lower = top;
  // The attachment holds a reference: a lower device deleted while a device
  // is still attached (a bus driver deleting its PDO in IRP_MN_REMOVE_DEVICE
  // before the function driver detaches) stays until IoDetachDevice.
  ++top->ReferenceCount;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (!above) {
    Verify().Report(winsim::rule::kDeletedTwice, CurrentPlace(),
                    "IoDetachDevice on a device that has nothing attached (detached twice?)");
    return;
  }
  CheckNotRemovePending(above, "IoDetachDevice");
  TargetDevice->AttachedDevice = nullptr;
  if (DeviceRecord* record = FindDevice(above)) record->lower = nullptr;
  --TargetDevice->ReferenceCount;
  MaybeFree(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  return TopOfStack(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (!FindDevice(device)) return 0;
  return ++device->ReferenceCount;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  auto* device = static_cast<PDEVICE_OBJECT>(Object);
  if (!FindDevice(device)) return 0;
  const LONG count = --device->ReferenceCount;
  MaybeFree(device);
  return count;
}

}  // extern "C"
