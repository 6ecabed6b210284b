// quillfw's frame: DriverEntry on each system, AddDevice and its failure
// paths, create and close with and without the remove lock, the Plug and
// Play requests row by row, and the power rules.
#include <wdm.h>

#include <algorithm>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "harness/quillfw_service.h"
#include "kernel/kernel.h"
#include "pnp/pnp_manager.h"
#include "quillfw.h"

namespace driver_tests {
namespace {

using namespace winsim;
using namespace winsim::usb;

const char kRegistryPath[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\quillfw";

// The lines of one Plug and Play request that goes down and comes back
// (FWLoaderSubmitIrpSynch with the lower drivers answering status at once).
Lines Forwarded(const std::string& status) {
  return {"FWLoaderSubmitIrpSynch Enter",
          "FWLoaderSubmitIrpSynch: DeviceObject = 0x#",
          "FWLoaderSubmitIrpSynch: Irp = 0x#",
          "FWLoaderSubmitIrpSynch: Urb = 0x0",
          "FWLoaderSynchCompletionRoutine Enter",
          "FWLoaderSynchCompletionRoutine Exit with SUCCESS = 0",
          "FWLoaderSubmitIrpSynch " + status};
}

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

PDEVICE_OBJECT QuillDevice() { return kernel::LookupDevice(u"\\Device\\QUILLDEV"); }

// ---------------------------------------------------------------- DriverEntry

struct EntryCase {
  const char* name;
  OsFamily os;
  bool failServiceKeyCopy;
  NTSTATUS status;
  Lines trace;
};

class DriverEntryTest : public DriverTest, public testing::WithParamInterface<EntryCase> {};

TEST_P(DriverEntryTest, TracesTheSystemAndCopiesTheServiceKey) {
  const EntryCase& entry = GetParam();
  FreshMachine(entry.os);
  if (entry.failServiceKeyCopy) machine().Faults().FailNth(AllocationKind::Pool, 1, kWdmTag);
  ASSERT_TRUE(machine().Run([&] {
    NTSTATUS status = STATUS_PENDING;
    PDRIVER_OBJECT driver = kernel::LoadDriver("quillfw", DriverEntry, &status);
    EXPECT_EQ(status, entry.status);
    if (driver != nullptr) {
      EXPECT_EQ(kernel::Narrow(&ServiceKeyName), kRegistryPath);
      EXPECT_EQ(ServiceKeyName.MaximumLength, ServiceKeyName.Length + 2);
      kernel::UnloadDriver(driver);  // the service key copy is freed (no pool-leak)
    }
  }));
  EXPECT_EQ(Trace(), entry.trace);
}

const std::string kCopyBytes = std::to_string(sizeof(kRegistryPath) * 2);  // characters + NUL

INSTANTIATE_TEST_SUITE_P(
    Systems, DriverEntryTest,
    testing::Values(
        EntryCase{"WindowsNt",
                  OsFamily::WindowsNt,
                  false,
                  STATUS_SUCCESS,
                  {"QUILLDEV - Entering DriverEntry: DriverObject #", "QUILLDEV - Running under NT",
                   "QUILLDEV - Entering DriverUnload: DriverObject #"}},
        EntryCase{"Windows98",
                  OsFamily::Windows98,
                  false,
                  STATUS_SUCCESS,
                  {"QUILLDEV - Entering DriverEntry: DriverObject #",
                   "QUILLDEV - Running under Windows 98",
                   "QUILLDEV - Entering DriverUnload: DriverObject #"}},
        EntryCase{"WithoutWdm10",
                  OsFamily::NoWdm,
                  false,
                  STATUS_UNSUCCESSFUL,
                  {"QUILLDEV - Entering DriverEntry: DriverObject #",
                   "QUILLDEV - Expected version of WDM (1.00) not available"}},
        EntryCase{"ServiceKeyCopyNotAllocated",
                  OsFamily::WindowsNt,
                  true,
                  STATUS_INSUFFICIENT_RESOURCES,
                  {"QUILLDEV - Entering DriverEntry: DriverObject #", "QUILLDEV - Running under NT",
                   "QUILLDEV - Unable to allocate " + kCopyBytes +
                       " bytes for copy of service key name"}}),
    [](const testing::TestParamInfo<EntryCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- AddDevice

class ArrivalTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {};

TEST_P(ArrivalTest, TheDeviceIsAddedStartedAndRemovedWithItsTrace) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    PDEVICE_OBJECT device = QuillDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->Characteristics & FILE_DEVICE_SECURE_OPEN,
              static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    PDEVICE_EXTENSION extension = FwExtension(device);
    EXPECT_EQ(extension->DeviceObject, device);
    EXPECT_EQ(extension->Pdo, bus().PdoAt(kPort));
    EXPECT_EQ(extension->LowerDeviceObject, bus().PdoAt(kPort));
    EXPECT_EQ(kernel::Narrow(&extension->DeviceName), "\\Device\\QUILLDEV");
    EXPECT_EQ(extension->DeviceName.MaximumLength, 34);
    EXPECT_EQ(kernel::LookupDevice(u"\\DosDevices\\QUILLDEV"), device);
    EXPECT_NE(extension->ConfigDescriptor, nullptr);
  }));
  EXPECT_EQ(PnpStatus("AddDevice"), "0x00000000");
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0x00000000");
  const Lines expected = Concat({
      {"QUILLDEV - Entering DriverEntry: DriverObject #", "QUILLDEV - Running under NT",
       "QUILLDEV - Entering AddDevice: DriverObject #, pdo #",
       "DispatchPnp: IRP_MN_QUERY_CAPABILITIES"},
      Forwarded("Exit with SUCCESS = 0"),
      {"DispatchPnp Exit with SUCCESS = 0", "DispatchPnp: IRP_MN_START_DEVICE"},
      Forwarded("Exit with SUCCESS = 0"),
      {std::string("DispatchPnp: Registry service key ") + kRegistryPath,
       "QUILLDEV - Configuring device from Quill", "QUILLDEV - Product is Q417 Update Mode",
       "QUILLDEV - Serial number is Q417-0001", "DispatchPnp Exit with SUCCESS = 0",
       "DispatchPnp: IRP_MN_QUERY_REMOVE_DEVICE"},
      Forwarded("Exit with SUCCESS = 0"),
      {"DispatchPnp Exit with SUCCESS = 0",
       "DispatchPnp: IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL"},
      Forwarded("Exit with SUCCESS = 0"),
      {"DispatchPnp Exit with SUCCESS = 0", "QUILLDEV - Entering DriverUnload: DriverObject #"},
  });
  EXPECT_EQ(Trace(), expected);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ArrivalTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

TEST_F(DriverTest, ASecondUpdateModeDeviceFindsTheNameTaken) {
  UsbTreeScript tree = TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous);
  tree.controllers[0].rootPorts.push_back(tree.controllers[0].rootPorts[0]);
  tree.controllers[0].rootPorts[1].device->serialNumber = "Q417-0002";
  ASSERT_TRUE(RunBus(tree, [&] {
    PDEVICE_OBJECT device = QuillDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(FwExtension(device)->Pdo, bus().PdoAt("0/1"));
  }));
  std::vector<std::string> added;
  for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
    if (event.Field("request") == "AddDevice") added.push_back(event.Field("status"));
  }
  EXPECT_EQ(added, (std::vector<std::string>{"0x00000000", "0xC0000035"}));
  const Lines trace = Trace();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "QUILLDEV - IoCreateDevice failed - C0000035"),
            1);
}

TEST_F(DriverTest, AddDeviceUndoesWhatItDidWhenAttachingFails) {
  ASSERT_TRUE(machine().Run([&] {
    NTSTATUS status = STATUS_PENDING;
    PDRIVER_OBJECT driver = kernel::LoadDriver("quillfw", DriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    // A physical device object the kernel does not know (already gone).
    DEVICE_OBJECT gone = {};
    EXPECT_EQ(kernel::CallAddDevice(driver, &gone), STATUS_DEVICE_REMOVED);
    EXPECT_EQ(kernel::DeviceObjectCount(driver), 0u);
    EXPECT_EQ(QuillDevice(), nullptr);
    kernel::UnloadDriver(driver);
  }));
  EXPECT_EQ(Trace(),
            (Lines{"QUILLDEV - Entering DriverEntry: DriverObject #", "QUILLDEV - Running under NT",
                   "QUILLDEV - Entering AddDevice: DriverObject #, pdo #",
                   "QUILLDEV - IoAttachDeviceToDeviceStack failed",
                   "QUILLDEV - Entering DriverUnload: DriverObject #"}));
}

TEST_F(DriverTest, AFailedLinkIsNoFailureButTheDeviceCannotBeOpenedByIt) {
  std::u16string other = u"\\Device\\Elsewhere";
  std::u16string link = u"\\DosDevices\\QUILLDEV";
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {}));
  FreshMachine();
  ASSERT_TRUE(machine().Run([&] {
    // Someone else holds the link name before the device arrives.
    UNICODE_STRING linkName = kernel::MakeUnicodeString(link);
    UNICODE_STRING otherName = kernel::MakeUnicodeString(other);
    ASSERT_EQ(IoCreateSymbolicLink(&linkName, &otherName), STATUS_SUCCESS);
  }));
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    EXPECT_NE(QuillDevice(), nullptr);
    EXPECT_EQ(OpenDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ErrorFor(STATUS_OBJECT_NAME_NOT_FOUND));
  }));
  EXPECT_EQ(PnpStatus("AddDevice"), "0x00000000");
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0x00000000");
}

// ---------------------------------------------------------------- create and close

struct OpenCase {
  const char* name;
  OsFamily os;
  LONG lockCountWithTwoOpen;  // the remove lock's count (1 = nobody holds it)
};

class CreateCloseTest : public DriverTest, public testing::WithParamInterface<OpenCase> {};

TEST_P(CreateCloseTest, OpensCountAndHoldTheRemoveLockOutsideWindows98) {
  FreshMachine(GetParam().os);
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    const size_t mark = Mark();
    HANDLE first = OpenDevice();
    HANDLE second = OpenDevice();  // not exclusive
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(extension->OpenHandles, 2);
    EXPECT_EQ(extension->RemoveLock.Common.IoCount, GetParam().lockCountWithTwoOpen);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(extension->OpenHandles, 1);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(extension->OpenHandles, 0);
    EXPECT_EQ(extension->RemoveLock.Common.IoCount, 1);
    EXPECT_EQ(TraceSince(mark), (Lines{"QUILLDEV - IRP_MJ_CREATE", "QUILLDEV - IRP_MJ_CREATE",
                                       "QUILLDEV - IRP_MJ_CLOSE", "QUILLDEV - IRP_MJ_CLOSE"}));
    // Read and write are not the driver's: the platform refuses them.
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_SYSTEM_CONTROL}) {
      EXPECT_EQ(kernel::SendIrpAndWait(
                    QuillDevice(), [&](PIO_STACK_LOCATION stack) { stack->MajorFunction = major; }),
                STATUS_INVALID_DEVICE_REQUEST);
    }
  }));
}

INSTANTIATE_TEST_SUITE_P(Systems, CreateCloseTest,
                         testing::Values(OpenCase{"WindowsNt", OsFamily::WindowsNt, 3},
                                         OpenCase{"Windows98", OsFamily::Windows98, 1}),
                         [](const testing::TestParamInfo<OpenCase>& p) {
                           return std::string(p.param.name);
                         });

// ---------------------------------------------------------------- Plug and Play rows

struct PnpRow {
  const char* name;
  UCHAR minor;
  NTSTATUS lowerStatus;  // what the bus driver's PDO answers
  std::string firstLine;
};

class PnpRowTest : public DriverTest, public testing::WithParamInterface<PnpRow> {};

TEST_P(PnpRowTest, GoesDownAndCompletesWithTheLowerDriversAnswer) {
  const PnpRow& row = GetParam();
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    PDEVICE_OBJECT device = QuillDevice();
    ASSERT_NE(device, nullptr);
    DEVICE_CAPABILITIES capabilities = {};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    const size_t mark = Mark();
    const size_t requestsBefore = Device().Requests().size();
    const NTSTATUS status = kernel::SendIrpAndWait(device, [&](PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = row.minor;
      stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    EXPECT_EQ(status, row.lowerStatus);
    char exit[64];
    std::snprintf(exit, sizeof(exit), "Exit with %s = %x",
                  NT_SUCCESS(row.lowerStatus) ? "SUCCESS" : "FAILURE",
                  static_cast<unsigned>(row.lowerStatus));
    EXPECT_EQ(TraceSince(mark),
              Concat({{row.firstLine}, Forwarded(exit), {std::string("DispatchPnp ") + exit}}));
    // Nothing of these reaches the USB device, and the device stays usable.
    EXPECT_EQ(Device().Requests().size(), requestsBefore);
    EXPECT_NE(FwExtension(device)->ConfigDescriptor, nullptr);
  }));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PnpRowTest,
    testing::Values(PnpRow{"QueryRemove", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS,
                           "DispatchPnp: IRP_MN_QUERY_REMOVE_DEVICE"},
                    PnpRow{"CancelRemove", IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS,
                           "DispatchPnp: IRP_MN_CANCEL_REMOVE_DEVICE"},
                    PnpRow{"QueryStop", IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS,
                           "DispatchPnp: IRP_MN_QUERY_STOP_DEVICE"},
                    PnpRow{"CancelStop", IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS,
                           "DispatchPnp: IRP_MN_CANCEL_STOP_DEVICE"},
                    PnpRow{"QueryCapabilities", IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS,
                           "DispatchPnp: IRP_MN_QUERY_CAPABILITIES"},
                    PnpRow{"QueryDeviceRelations", 0x07, STATUS_NOT_SUPPORTED,
                           "DispatchPnp: Unsupported Pnp Function = 0x7"},
                    PnpRow{"QueryId", 0x13, STATUS_NOT_SUPPORTED,
                           "DispatchPnp: Unsupported Pnp Function = 0x13"},
                    PnpRow{"AboveSurpriseRemoval", 0x18, STATUS_NOT_SUPPORTED,
                           "DispatchPnp: Unsupported Pnp Function = 0x18"}),
    [](const testing::TestParamInfo<PnpRow>& p) { return std::string(p.param.name); });

TEST_F(DriverTest, StopDeconfiguresFirstAndRestartConfiguresAgain) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    const size_t mark = Mark();
    pnp::StopAndRestart(UpdateModeNode());
    pnp::WaitIdle();
    const Lines trace = TraceSince(mark);
    const Lines expected = Concat({
        {"DispatchPnp: IRP_MN_QUERY_STOP_DEVICE"},
        Forwarded("Exit with SUCCESS = 0"),
        {"DispatchPnp Exit with SUCCESS = 0", "DispatchPnp: IRP_MN_STOP_DEVICE"},
        Forwarded("Exit with SUCCESS = 0"),
        {"DispatchPnp Exit with SUCCESS = 0", "DispatchPnp: IRP_MN_START_DEVICE"},
        Forwarded("Exit with SUCCESS = 0"),
        {std::string("DispatchPnp: Registry service key ") + kRegistryPath,
         "QUILLDEV - Configuring device from Quill", "QUILLDEV - Product is Q417 Update Mode",
         "QUILLDEV - Serial number is Q417-0001", "DispatchPnp Exit with SUCCESS = 0"},
    });
    EXPECT_EQ(trace, expected);
  }));
}

// The bus driver fails the start: the device is not the driver's to talk
// to, so nothing is configured and the start fails with the bus driver's
// status; Windows then removes the stack.
struct LowerStartCase {
  const char* name;
  NTSTATUS lowerStatus;
  CompletionMode mode;
};

class LowerStartTest : public DriverTest, public testing::WithParamInterface<LowerStartCase> {};

TEST_P(LowerStartTest, AFailedLowerStartFailsTheStartWithItsStatusAndConfiguresNothing) {
  const LowerStartCase& start = GetParam();
  DeviceScript device = UpdateModeDevice();
  device.faults.failStart = start.lowerStatus;
  ASSERT_TRUE(RunBus(TreeWith(device, start.mode), [&] {
    EXPECT_EQ(QuillDevice(), nullptr);  // removed after the failed start
  }));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), kernel::StatusText(start.lowerStatus));
  EXPECT_TRUE(Device().Requests().empty());  // not a descriptor read, no configuration
  char exit[64];
  std::snprintf(exit, sizeof(exit), "Exit with FAILURE = %x",
                static_cast<unsigned>(start.lowerStatus));
  const Lines expected = Concat({
      {"QUILLDEV - Entering DriverEntry: DriverObject #", "QUILLDEV - Running under NT",
       "QUILLDEV - Entering AddDevice: DriverObject #, pdo #",
       "DispatchPnp: IRP_MN_QUERY_CAPABILITIES"},
      Forwarded("Exit with SUCCESS = 0"),
      {"DispatchPnp Exit with SUCCESS = 0", "DispatchPnp: IRP_MN_START_DEVICE"},
      Forwarded(exit),
      {"DispatchPnp: Error submitting Irp in IRP_MN_START_DEVICE",
       std::string("DispatchPnp: Registry service key ") + kRegistryPath,
       std::string("DispatchPnp ") + exit,
       "DispatchPnp: IRP_MN_REMOVE_DEVICE or IRP_MN_SURPRISE_REMOVAL"},
      Forwarded("Exit with SUCCESS = 0"),
      {"DispatchPnp Exit with SUCCESS = 0", "QUILLDEV - Entering DriverUnload: DriverObject #"},
  });
  EXPECT_EQ(Trace(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    LowerFailures, LowerStartTest,
    testing::Values(
        LowerStartCase{"UnsuccessfulAsync", STATUS_UNSUCCESSFUL, CompletionMode::Asynchronous},
        LowerStartCase{"UnsuccessfulInline", STATUS_UNSUCCESSFUL, CompletionMode::Inline},
        LowerStartCase{"NoResourcesAsync", STATUS_INSUFFICIENT_RESOURCES,
                       CompletionMode::Asynchronous},
        LowerStartCase{"NotConnectedInline", STATUS_DEVICE_NOT_CONNECTED, CompletionMode::Inline}),
    [](const testing::TestParamInfo<LowerStartCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- power

Lines PowerHead(int type, int state) {
  char typeLine[64], systemLine[64], deviceLine[64];
  std::snprintf(typeLine, sizeof(typeLine), "DispatchPower: Power.Type = 0x%x", type);
  std::snprintf(systemLine, sizeof(systemLine), "DispatchPower: Power.State.SystemState = 0x%x",
                state);
  std::snprintf(deviceLine, sizeof(deviceLine), "DispatchPower: Power.State.DeviceState = 0x%x",
                state);
  return {"DispatchPower Enter", typeLine, systemLine, deviceLine};
}

// A device set-power request for state, passed down, completing the
// system request that caused it.
Lines DeviceRequestFor(int state) {
  return Concat({PowerHead(DevicePowerState, state),
                 {"DispatchPower: IRP_MN_SET_POWER", "DispatchPower: DevicePowerState",
                  "FWLoaderPowerRequestCompletion Enter",
                  "FWLoaderPowerRequestCompletion Exit with SUCCESS = 0",
                  "DispatchPower Exit with SUCCESS = 0"}});
}

// A system set-power request for state sent to the device's stack.
NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state) {
  return kernel::SendIrpAndWait(QuillDevice(), [&](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = IRP_MN_SET_POWER;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
  });
}

class PowerTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {};

TEST_P(PowerTest, SystemStatesBecomeD0AndD3OnceAndEqualStatesGoDown) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    EXPECT_EQ(extension->DevicePower, PowerDeviceUnspecified);

    // The first working request after the start gives D0. The system
    // request, preset STATUS_NOT_SUPPORTED like every new power IRP, is
    // finished by the driver and must not fail.
    size_t mark = Mark();
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
    EXPECT_EQ(TraceSince(mark),
              Concat({PowerHead(SystemPowerState, PowerSystemWorking),
                      {"DispatchPower: IRP_MN_SET_POWER", "DispatchPower: SystemPowerState"},
                      DeviceRequestFor(PowerDeviceD0),
                      {"DispatchPower Exit with SUCCESS = 103"}}));

    // Working again: D0 already, the request goes down unchanged.
    mark = Mark();
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(TraceSince(mark),
              Concat({PowerHead(SystemPowerState, PowerSystemWorking),
                      {"DispatchPower: IRP_MN_SET_POWER", "DispatchPower: SystemPowerState",
                       "DispatchPower Exit with SUCCESS = 0"}}));

    // Sleep: the query goes down, then the set-power request gives D3.
    mark = Mark();
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    EXPECT_EQ(extension->DevicePower, PowerDeviceD3);
    EXPECT_EQ(TraceSince(mark),
              Concat({PowerHead(SystemPowerState, PowerSystemSleeping3),
                      {"DispatchPower: IRP_MN_QUERY_POWER", "DispatchPower Exit with SUCCESS = 0"},
                      PowerHead(SystemPowerState, PowerSystemSleeping3),
                      {"DispatchPower: IRP_MN_SET_POWER", "DispatchPower: SystemPowerState"},
                      DeviceRequestFor(PowerDeviceD3),
                      {"DispatchPower Exit with SUCCESS = 103"}}));

    // Another sleeping state: D3 already, down unchanged.
    mark = Mark();
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemHibernate));
    EXPECT_EQ(extension->DevicePower, PowerDeviceD3);
    const Lines hibernate = TraceSince(mark);
    ASSERT_FALSE(hibernate.empty());
    EXPECT_EQ(hibernate.back(), "DispatchPower Exit with SUCCESS = 0");
    EXPECT_EQ(std::count(hibernate.begin(), hibernate.end(), "DispatchPower: DevicePowerState"), 0);

    // The driver finishes a system request that changes the device state
    // itself (Windows expects it passed down); one that does not goes down.
    std::vector<std::string> atBus;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("request").starts_with("bus driver") &&
          event.Field("device").find("PID_F001") != std::string::npos)
        atBus.push_back(event.Field("request"));
    }
    EXPECT_EQ(atBus, (std::vector<std::string>{"bus driver never got IRP_MN_SET_POWER S3",
                                               "bus driver got IRP_MN_SET_POWER S4"}));

    // Waking gives D0 again.
    pnp::SystemWake();
    EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
  }));
}

TEST_P(PowerTest, AFailedDeviceRequestStillFinishesTheSystemRequest) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    kernel::ScriptPowerRequestFailure(STATUS_INSUFFICIENT_RESOURCES);
    const size_t mark = Mark();
    ULONG_PTR information = 0;
    const NTSTATUS status = kernel::SendIrpAndWait(
        QuillDevice(),
        [](PIO_STACK_LOCATION stack) {
          stack->MajorFunction = IRP_MJ_POWER;
          stack->MinorFunction = IRP_MN_SET_POWER;
          stack->Parameters.Power.Type = SystemPowerState;
          stack->Parameters.Power.State.SystemState = PowerSystemWorking;
        },
        &information);
    // Passed down as it came: the bus driver's PDO answers it.
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePower, PowerDeviceUnspecified);
    EXPECT_EQ(TraceSince(mark),
              Concat({PowerHead(SystemPowerState, PowerSystemWorking),
                      {"DispatchPower: IRP_MN_SET_POWER", "DispatchPower: SystemPowerState",
                       "DispatchPower Exit with SUCCESS = 103"}}));
    // The next working request asks for D0 as before.
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
  }));
}

// The device request's status is only traced: the system request still
// succeeds, on sleep and on wake.
TEST_P(PowerTest, AFailingDeviceRequestLeavesTheSystemRequestSucceeding) {
  DeviceScript device = UpdateModeDevice();
  device.faults.failDevicePower = STATUS_UNSUCCESSFUL;
  ASSERT_TRUE(RunBus(TreeWith(device, GetParam()), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    size_t mark = Mark();
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    // Recorded on the way down, before the bus driver failed it.
    EXPECT_EQ(extension->DevicePower, PowerDeviceD0);
    Lines trace = TraceSince(mark);
    EXPECT_NE(std::find(trace.begin(), trace.end(),
                        "FWLoaderPowerRequestCompletion Exit with FAILURE = c0000001"),
              trace.end());
    mark = Mark();
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));  // no system-set-power-failed finding
    pnp::SystemWake();
    trace = TraceSince(mark);
    EXPECT_EQ(std::count(trace.begin(), trace.end(),
                         "FWLoaderPowerRequestCompletion Exit with FAILURE = c0000001"),
              2);
  }));
}

TEST_P(PowerTest, OtherPowerRequestsGoDownUnchanged) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    const size_t mark = Mark();
    const NTSTATUS status = kernel::SendIrpAndWait(QuillDevice(), [](PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_POWER;
      stack->MinorFunction = IRP_MN_POWER_SEQUENCE;
    });
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);  // the PDO keeps the status
    EXPECT_EQ(
        TraceSince(mark),
        Concat({PowerHead(0, 0),
                {"DispatchPower: Default = 0x1", "DispatchPower Exit with FAILURE = c00000bb"}}));
  }));
}

INSTANTIATE_TEST_SUITE_P(BothModes, PowerTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

}  // namespace
}  // namespace driver_tests
