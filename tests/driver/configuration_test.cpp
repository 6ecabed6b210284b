// The start: descriptors, identity strings, interface and pipes, the
// failures of each step, the descriptor mends, and stop and restart.
#include <wdm.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "driver_fixture.h"
#include "kernel/kernel.h"
#include "quillfw.h"

namespace driver_tests {
namespace {

using namespace winsim;
using namespace winsim::usb;

PDEVICE_OBJECT QuillDevice() { return kernel::LookupDevice(u"\\Device\\QUILLDEV"); }

// The driver's own lines of the start: after the service key line, up to
// DispatchPnp's exit.
Lines StartLines(const Lines& trace) {
  Lines lines;
  bool inside = false;
  for (const std::string& line : trace) {
    if (line.rfind("DispatchPnp: Registry service key", 0) == 0) {
      inside = true;
      continue;
    }
    if (inside && line.rfind("DispatchPnp Exit", 0) == 0) break;
    if (inside) lines.push_back(line);
  }
  return lines;
}

// The line in readwrite.cpp that holds text (for the assertion message).
int SourceLineOf(const std::string& text) {
  std::ifstream source(QUILLFW_READWRITE_SOURCE);
  std::string line;
  for (int number = 1; std::getline(source, line); ++number) {
    if (line.find(text) != std::string::npos) return number;
  }
  return -1;
}

EndpointScript Out(uint8_t number) { return {number, USB_ENDPOINT_TYPE_BULK, 64, 0}; }
EndpointScript In(uint8_t number) {
  return {static_cast<uint8_t>(0x80 | number), USB_ENDPOINT_TYPE_BULK, 64, 0};
}

size_t StringRequests(const UsbDevice& device, std::optional<uint8_t> index = {}) {
  return static_cast<size_t>(std::count_if(
      device.Requests().begin(), device.Requests().end(), [&](const DeviceRequest& request) {
        return request.kind == RequestKind::GetDescriptor &&
               request.descriptorType == USB_STRING_DESCRIPTOR_TYPE &&
               (!index || request.descriptorIndex == *index);
      }));
}

// ---------------------------------------------------------------- pipes

struct PipeCase {
  const char* name;
  std::vector<EndpointScript> endpoints;
  std::optional<uint8_t> writeEndpoint;  // none: no OUT pipe
  std::optional<uint8_t> readEndpoint;   // none: no IN pipe
};

void PrintTo(const PipeCase& pipes, std::ostream* out) { *out << pipes.name; }

class PipeTest : public DriverTest,
                 public testing::WithParamInterface<std::tuple<PipeCase, CompletionMode>> {};

// A direction without an endpoint fails its requests without sending
// anything, rather than sending them the other way.
TEST_P(PipeTest, TheFirstInPipeReadsAndTheFirstOutPipeWrites) {
  const PipeCase& pipes = std::get<0>(GetParam());
  const CompletionMode mode = std::get<1>(GetParam());
  DeviceScript device = UpdateModeDevice();
  device.configuration.interfaces[0].endpoints = pipes.endpoints;
  ASSERT_TRUE(RunBus(TreeWith(device, mode), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    const ControlResult write = Write(handle, 3);
    std::vector<uint8_t> envelope(16, 0);
    envelope[0] = 8;
    const ControlResult read = Control(handle, kIoctlRead, envelope, 16, 16);
    std::vector<uint8_t> expected;
    for (const auto& [result, endpoint] :
         {std::pair{write, pipes.writeEndpoint}, std::pair{read, pipes.readEndpoint}}) {
      EXPECT_EQ(result.ok != FALSE, endpoint.has_value());
      if (endpoint) {
        expected.push_back(*endpoint);
      } else {
        EXPECT_EQ(result.error, ErrorFor(STATUS_INVALID_DEVICE_STATE));
      }
    }
    EXPECT_EQ(TransferEndpoints(), expected);
    CloseHandle(handle);
  }));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0x00000000");
}

INSTANTIATE_TEST_SUITE_P(
    EndpointOrders, PipeTest,
    testing::Combine(testing::Values(PipeCase{"OutIn", {Out(1), In(2)}, 0x01, 0x82},
                                     PipeCase{"InOut", {In(2), Out(1)}, 0x01, 0x82},
                                     PipeCase{"InInOut", {In(1), In(2), Out(3)}, 0x03, 0x81},
                                     PipeCase{"OutOut", {Out(1), Out(2)}, 0x01, std::nullopt},
                                     PipeCase{"InIn", {In(1), In(2)}, std::nullopt, 0x81},
                                     PipeCase{"OutInOut", {Out(1), In(2), Out(3)}, 0x01, 0x82}),
                     testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) == CompletionMode::Inline ? "Inline" : "Async");
    });

TEST_F(DriverTest, OnlyTheFirstTwoOfThreePipesGetTheTransferSizeOfAPiece) {
  DeviceScript device = UpdateModeDevice();
  device.configuration.interfaces[0].endpoints = {Out(1), In(2), Out(3)};
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous), [] {}));
  std::string select;
  for (const Event& event : machine().Log().OfKind(EventKind::Urb)) {
    if (event.text.find("pipe 0 endpoint") != std::string::npos) select = event.text;
  }
  EXPECT_NE(select.find("pipe 0 endpoint 0x01 max transfer 4096 pipe 1 endpoint 0x82 max "
                        "transfer 4096 pipe 2 endpoint 0x03 max transfer 4294967295"),
            std::string::npos)
      << select;
}

// ---------------------------------------------------------------- the start, step by step

struct StartCase {
  const char* name;
  std::function<void(DeviceScript&)> script;
  NTSTATUS status;
  Lines lines;  // between the service key line and DispatchPnp's exit
};

const Lines kIdentity = {"QUILLDEV - Configuring device from Quill",
                         "QUILLDEV - Product is Q417 Update Mode",
                         "QUILLDEV - Serial number is Q417-0001"};

Lines WithIdentity(Lines after) {
  Lines lines = kIdentity;
  lines.insert(lines.end(), after.begin(), after.end());
  return lines;
}

class StartTest : public DriverTest,
                  public testing::WithParamInterface<std::tuple<StartCase, CompletionMode>> {};

TEST_P(StartTest, TracesAndEndsAsTheDeviceAnswers) {
  const StartCase& start = std::get<0>(GetParam());
  const CompletionMode mode = std::get<1>(GetParam());
  DeviceScript device = UpdateModeDevice();
  start.script(device);
  ASSERT_TRUE(RunBus(TreeWith(device, mode), [&] {
    PDEVICE_OBJECT quill = QuillDevice();
    if (NT_SUCCESS(start.status)) {
      ASSERT_NE(quill, nullptr);
      EXPECT_NE(FwExtension(quill)->ConfigDescriptor, nullptr);
    } else {
      // The manager removed the device after the failed start.
      EXPECT_EQ(quill, nullptr);
    }
  }));
  char status[16];
  std::snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(start.status));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), status);
  EXPECT_EQ(StartLines(Trace()), start.lines);
  // No pool-leak at unload: every failure released the descriptor buffer.
}

const Failure kStall{};

INSTANTIATE_TEST_SUITE_P(
    Steps, StartTest,
    testing::Combine(
        testing::Values(
            StartCase{"NamedConfigurationAndInterface",
                      [](DeviceScript& s) {
                        s.configuration.name = "Update";
                        s.configuration.interfaces[0].name = "Firmware";
                      },
                      STATUS_SUCCESS,
                      WithIdentity({"QUILLDEV - Selecting configuration named Update",
                                    "QUILLDEV - Selecting interface named Firmware"})},
            StartCase{"StringsFail",
                      [](DeviceScript& s) {
                        s.configuration.name = "Update";
                        s.faults.failDescriptors = {{USB_STRING_DESCRIPTOR_TYPE, -1, -1, kStall}};
                      },
                      STATUS_SUCCESS,
                      {}},
            StartCase{
                "LengthSevenGivesTwoCharacters",
                [](DeviceScript& s) {
                  s.faults.oddStrings = {{1, 7}};
                },
                STATUS_SUCCESS,
                {"QUILLDEV - Configuring device from Qu", "QUILLDEV - Product is Q417 Update Mode",
                 "QUILLDEV - Serial number is Q417-0001"}},
            StartCase{"LengthTwoGivesAnEmptyString",
                      [](DeviceScript& s) {
                        s.faults.oddStrings = {{2, 2}};
                      },
                      STATUS_SUCCESS,
                      {"QUILLDEV - Configuring device from Quill", "QUILLDEV - Product is ",
                       "QUILLDEV - Serial number is Q417-0001"}},
            StartCase{"LengthBelowTwoIsAFailedRead",
                      [](DeviceScript& s) {
                        s.faults.oddStrings = {{1, 1}, {3, 0}};
                      },
                      STATUS_SUCCESS,
                      {"QUILLDEV - Product is Q417 Update Mode"}},
            StartCase{"DeviceDescriptorFails",
                      [](DeviceScript& s) {
                        s.faults.failDescriptors = {{USB_DEVICE_DESCRIPTOR_TYPE, -1, -1, kStall}};
                      },
                      STATUS_UNSUCCESSFUL,
                      {"QUILLDEV - Error C0000001 trying to read device descriptor"}},
            StartCase{"ConfigurationHeadFails",
                      [](DeviceScript& s) {
                        s.faults.failDescriptors = {{USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                                     -1,
                                                     1,
                                                     {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
                      },
                      STATUS_DEVICE_DATA_ERROR,
                      WithIdentity({"QUILLDEV - Error C000009C trying to read configuration "
                                    "descriptor 1"})},
            StartCase{"OneEndpoint",
                      [](DeviceScript& s) { s.configuration.interfaces[0].endpoints = {Out(1)}; },
                      STATUS_DEVICE_CONFIGURATION_ERROR,
                      WithIdentity({"QUILLDEV - 1 is the wrong number of endpoints"})},
            StartCase{"SelectConfigurationFails",
                      [](DeviceScript& s) { s.faults.failSelectConfiguration = kStall; },
                      STATUS_UNSUCCESSFUL,
                      WithIdentity({"QUILLDEV - Error C0000001 trying to select configuration"})},
            StartCase{"TotalLengthBelowNine",
                      [](DeviceScript& s) { s.faults.totalLengthOverride = 8; },
                      STATUS_DEVICE_CONFIGURATION_ERROR,
                      WithIdentity({"QUILLDEV - Error C0000182 trying to read configuration "
                                    "descriptor 1"})},
            StartCase{"SecondReadShort", [](DeviceScript& s) { s.faults.secondReadShortBy = 1; },
                      STATUS_DEVICE_CONFIGURATION_ERROR,
                      WithIdentity({"QUILLDEV - Error C0000182 trying to read configuration "
                                    "descriptor 1"})},
            StartCase{"TotalLengthAboveWhatArrives",
                      [](DeviceScript& s) { s.faults.totalLengthOverride = 64; },
                      STATUS_DEVICE_CONFIGURATION_ERROR,
                      WithIdentity({"QUILLDEV - Error C0000182 trying to read configuration "
                                    "descriptor 1"})},
            StartCase{"SecondReadAnotherTotalLength",
                      [](DeviceScript& s) { s.faults.secondReadTotalLength = 25; },
                      STATUS_DEVICE_CONFIGURATION_ERROR,
                      WithIdentity({"QUILLDEV - Error C0000182 trying to read configuration "
                                    "descriptor 1"})}),
        testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) == CompletionMode::Inline ? "Inline" : "Async");
    });

TEST_F(DriverTest, AConfigurationWithoutAnInterfaceAssertsAndFailsTheStart) {
  machine().Verify().Expect(rule::kDebugBreak);
  DeviceScript device = UpdateModeDevice();
  device.configuration.interfaces.clear();
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous), [] {}));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0xC0000182");
  const int line = SourceLineOf("FW_ASSERT(pid);");
  ASSERT_GT(line, 0);
  EXPECT_EQ(StartLines(Trace()), WithIdentity({"Assertion failure in readwrite, line " +
                                               std::to_string(line) + ": pid"}));
  EXPECT_TRUE(machine().Verify().Has(rule::kDebugBreak));
  // Nothing was selected.
  for (const DeviceRequest& request : Device().Requests()) {
    EXPECT_NE(request.kind, RequestKind::SelectConfiguration);
  }
}

// wTotalLength 12 cuts the interface descriptor at byte 9 short: the
// library's parser returns it all the same. The driver refuses the
// configuration before it reads a field of it, and its buffer ends where
// readable memory ends (special pool), so a read past it would fault.
TEST_F(DriverTest, AnInterfaceCutByTheTotalLengthFailsTheStartWithoutAReadPastIt) {
  kernel::UseSpecialPool(PoolTag("Wdm "));
  DeviceScript device = UpdateModeDevice();
  device.faults.totalLengthOverride = 12;
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous), [] {}));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0xC0000182");
  EXPECT_EQ(StartLines(Trace()),
            WithIdentity({"QUILLDEV - Error C0000182 trying to read configuration descriptor 1"}));
  for (const DeviceRequest& request : Device().Requests()) {
    EXPECT_NE(request.kind, RequestKind::SelectConfiguration);
  }
}

TEST_F(DriverTest, AllStringIndicesZeroMeansNoStringRequestAtAll) {
  DeviceScript device = UpdateModeDevice();
  device.manufacturer.clear();
  device.product.clear();
  device.serialNumber.clear();
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous),
                     [&] { EXPECT_EQ(StringRequests(Device()), 0u); }));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), "0x00000000");
  EXPECT_EQ(StartLines(Trace()), Lines{});
}

TEST_F(DriverTest, TheLanguageListIsReadOnceAcrossStopAndRestart) {
  DeviceScript device = UpdateModeDevice();
  device.languages = {0x0407, 0x0409};
  ASSERT_TRUE(RunBus(TreeWith(device, CompletionMode::Asynchronous), [&] {
    pnp::StopAndRestart(UpdateModeNode());
    pnp::WaitIdle();
    EXPECT_EQ(StringRequests(Device(), 0), 1u);
    EXPECT_EQ(StringRequests(Device(), 1), 2u);  // once per start
    for (const DeviceRequest& request : Device().Requests()) {
      if (request.kind == RequestKind::GetDescriptor &&
          request.descriptorType == USB_STRING_DESCRIPTOR_TYPE && request.descriptorIndex != 0) {
        EXPECT_EQ(request.languageId, 0x0407);  // the first of the list
        EXPECT_EQ(request.requestedLength, 256u);
      }
    }
    EXPECT_EQ(FwExtension(QuillDevice())->LanguageId, 0x0407);
  }));
}

TEST_F(DriverTest, StopDeconfiguresAndReleasesTheDescriptorAndTransfersThenFail) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    HANDLE handle = OpenDevice();
    // Stop alone (the manager's rebalancing restarts at once): IRP_MN_STOP_DEVICE.
    const NTSTATUS stop = kernel::SendIrpAndWait(QuillDevice(), [](PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = IRP_MN_STOP_DEVICE;
    });
    EXPECT_EQ(stop, STATUS_SUCCESS);
    EXPECT_EQ(extension->ConfigDescriptor, nullptr);
    EXPECT_FALSE(Device().Configured());
    // No configuration: a transfer fails and sends nothing.
    const ControlResult write = Write(handle, 5);
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.error, ErrorFor(STATUS_INVALID_DEVICE_STATE));
    EXPECT_TRUE(TransferLengths().empty());
    // A second start configures again; transfers work.
    const NTSTATUS start = kernel::SendIrpAndWait(QuillDevice(), [](PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = IRP_MN_START_DEVICE;
    });
    EXPECT_EQ(start, STATUS_SUCCESS);
    EXPECT_TRUE(Write(handle, 5).ok);
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{5});
    CloseHandle(handle);
  }));
}

TEST_F(DriverTest, AFailedDeconfigureStillReleasesTheDescriptor) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    PDEVICE_EXTENSION extension = FwExtension(QuillDevice());
    const size_t mark = Mark();
    // The IRP of the deconfigure request cannot be built.
    machine().Faults().FailNth(AllocationKind::Irp,
                               machine().Faults().Count(AllocationKind::Irp) + 1);
    const NTSTATUS stop = kernel::SendIrpAndWait(QuillDevice(), [](PIO_STACK_LOCATION stack) {
      stack->MajorFunction = IRP_MJ_PNP;
      stack->MinorFunction = IRP_MN_STOP_DEVICE;
    });
    EXPECT_EQ(stop, STATUS_SUCCESS);
    EXPECT_EQ(extension->ConfigDescriptor, nullptr);
    const Lines trace = TraceSince(mark);
    ASSERT_GE(trace.size(), 3u);
    EXPECT_EQ(trace[1], "QUILLDEV - Unable to allocate IRP for sending URB");
    EXPECT_EQ(trace[2], "QUILLDEV - Error C000009A trying to deconfigure device");
  }));
}

}  // namespace
}  // namespace driver_tests
