// quillfw's frame: the golden trace of an update, DriverEntry on each system,
// AddDevice and its failure paths, create and close, the Plug and Play
// requests row by row, and the power rules.
#include <wdm.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

PDEVICE_OBJECT QuillDevice() { return kernel::LookupDevice(u"\\Device\\QUILLDEV"); }

// ---------------------------------------------------------------- golden trace

// The lines of a minimal diff from expected to actual ("-" expected only,
// "+" actual only), each with its line number.
std::string Diff(const Lines& expected, const Lines& actual) {
  const size_t n = expected.size(), m = actual.size();
  std::vector<std::vector<size_t>> common(n + 1, std::vector<size_t>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      common[i][j] = expected[i] == actual[j] ? common[i + 1][j + 1] + 1
                                              : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  std::ostringstream out;
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && expected[i] == actual[j]) {
      ++i, ++j;
    } else if (j < m && (i == n || common[i][j + 1] >= common[i + 1][j])) {
      out << "+" << j + 1 << ": " << actual[j] << "\n";
      ++j;
    } else {
      out << "-" << i + 1 << ": " << expected[i] << "\n";
      ++i;
    }
  }
  return out.str();
}

// One update as quillprog's worker makes it, with a failed write, the reset
// it leaves owed, a read, power and a stop on the way, then the removal.
// The whole trace is held against tests/driver/golden/update.trace;
// QUILL_UPDATE_GOLDEN=1 writes the file from this run instead.
TEST_F(DriverTest, TheTraceOfAnUpdateIsTheGoldenOne) {
  DeviceScript device = UpdateModeDevice();
  device.faults.failTransfers = {{5, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Write(handle, 10000).ok);  // transfers 1 to 3
    EXPECT_FALSE(Write(handle, 5000).ok);  // transfer 5 fails
    EXPECT_TRUE(Write(handle, 5).ok);      // the owed reset, then transfer 6
    std::vector<uint8_t> read(16, 0);
    read[0] = 8;
    EXPECT_TRUE(Control(handle, kIoctlRead, read, 16, 16).ok);
    EXPECT_FALSE(Control(handle, kIoctlWrite, read, 7, 0).ok);  // too short
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::SystemWake();
    pnp::StopAndRestart(UpdateModeNode());
    pnp::WaitIdle();
    EXPECT_TRUE(CloseHandle(handle));
  }));
  const Lines trace = Trace();
  const std::string path = std::string(QUILLFW_GOLDEN_DIR) + "/update.trace";
  const char* update = std::getenv("QUILL_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream out(path);
    for (const std::string& line : trace) out << line << "\n";
    ASSERT_TRUE(out.good()) << "cannot write " << path;
    return;
  }
  std::ifstream in(path);
  ASSERT_TRUE(in.good()) << "no " << path << " (QUILL_UPDATE_GOLDEN=1 writes it)";
  Lines golden;
  for (std::string line; std::getline(in, line);) golden.push_back(line);
  EXPECT_TRUE(golden == trace) << "the driver's trace differs from " << path
                               << " (QUILL_UPDATE_GOLDEN=1 rewrites it):\n"
                               << Diff(golden, trace);
}

// ---------------------------------------------------------------- DriverEntry

// Windows 98 and NT load it in every other test (the service key copy is
// freed at unload: the verifier's pool check).
TEST_F(DriverTest, DriverEntryRefusesASystemWithoutWdm10) {
  FreshMachine(OsFamily::NoWdm);
  ASSERT_TRUE(machine().Run([&] {
    NTSTATUS status = STATUS_PENDING;
    EXPECT_EQ(kernel::LoadDriver("quillfw", DriverEntry, &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
  }));
}

// ---------------------------------------------------------------- AddDevice

// The name is fixed: the second device finds it taken, the first keeps it.
TEST_F(DriverTest, ASecondUpdateModeDeviceFindsTheNameTaken) {
  UsbTreeScript tree = TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous);
  tree.controllers[0].rootPorts.push_back(tree.controllers[0].rootPorts[0]);
  tree.controllers[0].rootPorts[1].device->serialNumber = "Q417-0002";
  ASSERT_TRUE(RunBus(tree, [&] {
    HANDLE handle = OpenDevice();
    EXPECT_TRUE(Write(handle, 5).ok);
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{5});  // on port 0/1
    CloseHandle(handle);
  }));
  std::vector<std::string> added;
  for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
    if (event.Field("request") == "AddDevice") added.push_back(event.Field("status"));
  }
  EXPECT_EQ(added, (std::vector<std::string>{"0x00000000", "0xC0000035"}));
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

// ---------------------------------------------------------------- arrival, create and close

class ArrivalTest : public DriverTest, public testing::WithParamInterface<OsFamily> {};

// The device object and its link come with the start; two handles open
// and close (outside Windows 98 each open holds the remove lock until its
// close: the verifier fails a lock held at unload or released unheld), and
// the majors the driver does not serve are refused.
TEST_P(ArrivalTest, TheDeviceIsAddedStartedAndOpenedByItsLink) {
  FreshMachine(GetParam());
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    PDEVICE_OBJECT device = QuillDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->Characteristics & FILE_DEVICE_SECURE_OPEN,
              static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(kernel::LookupDevice(u"\\DosDevices\\QUILLDEV"), device);
    HANDLE first = OpenDevice();
    HANDLE second = OpenDevice();  // not exclusive
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_CLEANUP}) {
      EXPECT_EQ(kernel::SendIrpAndWait(
                    device, [&](PIO_STACK_LOCATION stack) { stack->MajorFunction = major; }),
                STATUS_INVALID_DEVICE_REQUEST);
    }
  }));
  EXPECT_EQ(PnpStatus("AddDevice"), "0x00000000");
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0x00000000");
}

INSTANTIATE_TEST_SUITE_P(Systems, ArrivalTest,
                         testing::Values(OsFamily::WindowsNt, OsFamily::Windows98));

// ---------------------------------------------------------------- Plug and Play

// Each goes down and completes with the lower driver's answer; nothing
// reaches the USB device, and the device stays usable.
TEST_F(DriverTest, PnpRequestsGoDownWithTheLowerDriversAnswer) {
  const std::pair<UCHAR, NTSTATUS> rows[] = {{IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
                                             {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS},
                                             {IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS},
                                             {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS},
                                             {IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS},
                                             {0x07, STATUS_NOT_SUPPORTED},
                                             {0x13, STATUS_NOT_SUPPORTED},
                                             {0x18, STATUS_NOT_SUPPORTED}};
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    const size_t requestsBefore = Device().Requests().size();
    for (const auto& row : rows) {
      const UCHAR minor = row.first;  // a lambda below takes it (clang 14: no structured binding)
      SCOPED_TRACE(static_cast<int>(minor));
      DEVICE_CAPABILITIES capabilities = {};
      capabilities.Size = sizeof(capabilities);
      capabilities.Version = 1;
      const NTSTATUS status = kernel::SendIrpAndWait(QuillDevice(), [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
      });
      EXPECT_EQ(status, row.second);
    }
    EXPECT_EQ(Device().Requests().size(), requestsBefore);
    HANDLE handle = OpenDevice();
    EXPECT_TRUE(Write(handle, 5).ok);
    CloseHandle(handle);
  }));
}

// The bus driver fails the start: the device is not the driver's to talk
// to, so nothing is configured and the start fails with the bus driver's
// status; Windows then removes the stack.
class LowerStartTest : public DriverTest,
                       public testing::WithParamInterface<std::pair<NTSTATUS, CompletionMode>> {};

TEST_P(LowerStartTest, AFailedLowerStartFailsTheStartWithItsStatusAndConfiguresNothing) {
  DeviceScript device = UpdateModeDevice();
  device.faults.failStart = GetParam().first;
  ASSERT_TRUE(RunBus(TreeWith(device, GetParam().second), [&] {
    EXPECT_EQ(QuillDevice(), nullptr);  // removed after the failed start
  }));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), kernel::StatusText(GetParam().first));
  EXPECT_TRUE(Device().Requests().empty());  // not a descriptor read, no configuration
}

INSTANTIATE_TEST_SUITE_P(
    LowerFailures, LowerStartTest,
    testing::Values(std::pair{STATUS_UNSUCCESSFUL, CompletionMode::Asynchronous},
                    std::pair{STATUS_DEVICE_NOT_CONNECTED, CompletionMode::Inline}));

// ---------------------------------------------------------------- power

// The device power requests quillfw asked for, in order ("D0", "D3").
std::vector<std::string> DeviceRequests(Machine& machine) {
  std::vector<std::string> requests;
  for (const Event& event : machine.Log().OfKind(EventKind::Pnp)) {
    if (event.text.starts_with("PoRequestPowerIrp ")) requests.push_back(event.text.substr(18));
  }
  return requests;
}

// A system set-power request for state sent to the device's stack.
NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
  return kernel::SendIrpAndWait(QuillDevice(), [&](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
  });
}

using Strings = std::vector<std::string>;

class PowerTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {};

// Working gives D0 and sleeping states D3, each once; a system request that
// changes the device state is finished by the driver (never reaching the
// bus driver), one that does not goes down. The power manager fails a
// system set-power request that does not succeed.
TEST_P(PowerTest, SystemStatesBecomeD0AndD3OnceAndEqualStatesGoDown) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(DeviceRequests(machine()), Strings{"D0"});
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemHibernate));
    EXPECT_EQ(DeviceRequests(machine()), (Strings{"D0", "D3"}));
    std::vector<std::string> atBus;
    for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
      if (event.Field("request").starts_with("bus driver") &&
          event.Field("device").find("PID_F001") != std::string::npos)
        atBus.push_back(event.Field("request"));
    }
    EXPECT_EQ(atBus, (Strings{"bus driver never got IRP_MN_SET_POWER S3",
                              "bus driver got IRP_MN_SET_POWER S4"}));
    pnp::SystemWake();
    EXPECT_EQ(DeviceRequests(machine()), (Strings{"D0", "D3", "D0"}));
    // Other power requests go down unchanged; the PDO keeps the status.
    EXPECT_EQ(SetSystemPower(PowerSystemWorking, IRP_MN_POWER_SEQUENCE), STATUS_NOT_SUPPORTED);
  }));
}

// Without a device request the system request goes down as it came, and the
// next working request asks for D0 again.
TEST_P(PowerTest, AFailedPoRequestPowerIrpPassesTheSystemRequestDown) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    kernel::ScriptPowerRequestFailure(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(DeviceRequests(machine()), Strings{});
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(DeviceRequests(machine()), Strings{"D0"});
  }));
}

// The device request's status is only traced: the system request still
// succeeds, on sleep and on wake, and D0 is not asked for twice.
TEST_P(PowerTest, AFailingDeviceRequestLeavesTheSystemRequestSucceeding) {
  DeviceScript device = UpdateModeDevice();
  device.faults.failDevicePower = STATUS_UNSUCCESSFUL;
  ASSERT_TRUE(RunBus(TreeWith(device, GetParam()), [&] {
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::SystemWake();
    EXPECT_EQ(DeviceRequests(machine()), (Strings{"D0", "D3", "D0"}));
  }));
}

INSTANTIATE_TEST_SUITE_P(BothModes, PowerTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

}  // namespace
}  // namespace driver_tests
