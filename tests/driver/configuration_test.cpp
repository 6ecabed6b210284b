// The start: descriptors, identity strings, interface and pipes, the
// failures of each step, the descriptor mends, and stop and restart.
#include <wdm.h>

#include <algorithm>
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
  bool selects = true;                        // a SELECT_CONFIGURATION reaches the device
  std::optional<size_t> stringRequests = {};  // string descriptor reads, where it matters
  bool asserts = false;  // FW_ASSERT breaks into the (attached) kernel debugger
  // quillfw's pool ends where readable memory ends, so that a read past a
  // buffer faults; elsewhere the pool's guard bytes catch a write past one.
  bool specialPool = false;
};

class StartTest : public DriverTest,
                  public testing::WithParamInterface<std::tuple<StartCase, CompletionMode>> {};

// A write past a buffer the driver allocates breaks the pool's guard bytes
// (a verifier finding); every failure releases what it took (the pool check
// at unload).
TEST_P(StartTest, EndsAsTheDeviceAnswersWithoutAReadPastABuffer) {
  const StartCase& start = std::get<0>(GetParam());
  if (start.asserts) {
    // With a debugger attached the start goes on past the breakpoint.
    FreshMachine(OsFamily::WindowsNt, {}, true);
    machine().Verify().Expect(rule::kDebugBreak);
  }
  if (start.specialPool) kernel::UseSpecialPool(kWdmTag);
  DeviceScript device = UpdateModeDevice();
  start.script(device);
  ASSERT_TRUE(RunBus(TreeWith(device, std::get<1>(GetParam())), [&] {
    // The manager removes the device after a failed start.
    EXPECT_EQ(QuillDevice() != nullptr, NT_SUCCESS(start.status));
    if (start.stringRequests) {
      EXPECT_EQ(StringRequests(Device()), *start.stringRequests);
    }
  }));
  EXPECT_EQ(PnpStatus("IRP_MN_START_DEVICE"), kernel::StatusText(start.status));
  EXPECT_EQ(machine().Verify().Has(rule::kDebugBreak), start.asserts);
  const auto& requests = Device().Requests();
  EXPECT_EQ(std::any_of(
                requests.begin(), requests.end(),
                [](const DeviceRequest& r) { return r.kind == RequestKind::SelectConfiguration; }),
            start.selects);
}

const Failure kStall{};
const NTSTATUS kBadConfiguration = STATUS_DEVICE_CONFIGURATION_ERROR;

INSTANTIATE_TEST_SUITE_P(
    Steps, StartTest,
    testing::Combine(
        testing::Values(
            StartCase{"NamedConfigurationAndInterface",
                      [](DeviceScript& s) {
                        s.configuration.name = "Update";
                        s.configuration.interfaces[0].name = "Firmware";
                      },
                      STATUS_SUCCESS},
            StartCase{"StringsFail",
                      [](DeviceScript& s) {
                        s.configuration.name = "Update";
                        s.faults.failDescriptors = {{USB_STRING_DESCRIPTOR_TYPE, -1, -1, kStall}};
                      },
                      STATUS_SUCCESS},
            StartCase{"LengthSevenGivesTwoCharacters",
                      [](DeviceScript& s) {
                        s.faults.oddStrings = {{1, 7}};
                      },
                      STATUS_SUCCESS},
            StartCase{"LengthTwoGivesAnEmptyString",
                      [](DeviceScript& s) {
                        s.faults.oddStrings = {{2, 2}};
                      },
                      STATUS_SUCCESS},
            StartCase{"LengthBelowTwoIsAFailedRead",
                      [](DeviceScript& s) {
                        s.faults.oddStrings = {{1, 1}, {3, 0}};
                      },
                      STATUS_SUCCESS},
            StartCase{"AllStringIndicesZeroReadNoString",
                      [](DeviceScript& s) {
                        s.manufacturer.clear();
                        s.product.clear();
                        s.serialNumber.clear();
                      },
                      STATUS_SUCCESS, true, 0},
            StartCase{"DeviceDescriptorFails",
                      [](DeviceScript& s) {
                        s.faults.failDescriptors = {{USB_DEVICE_DESCRIPTOR_TYPE, -1, -1, kStall}};
                      },
                      STATUS_UNSUCCESSFUL, false},
            StartCase{"ConfigurationHeadFails",
                      [](DeviceScript& s) {
                        s.faults.failDescriptors = {{USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                                     -1,
                                                     1,
                                                     {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
                      },
                      STATUS_DEVICE_DATA_ERROR, false},
            StartCase{"OneEndpoint",
                      [](DeviceScript& s) { s.configuration.interfaces[0].endpoints = {Out(1)}; },
                      kBadConfiguration, false},
            // What the device describes never breaks into a debugger (with
            // none attached, a kernel-mode breakpoint is a bug check).
            StartCase{"NoInterface", [](DeviceScript& s) { s.configuration.interfaces.clear(); },
                      kBadConfiguration, false},
            // Five bytes whose last two read as a 2-byte descriptor (the
            // packet size's high byte 2, then bInterval): only the
            // endpoint's own length is wrong.
            StartCase{"EndpointDescriptorOfFiveBytes",
                      [](DeviceScript& s) {
                        s.faults.firstEndpointLength = 5;
                        s.configuration.interfaces[0].endpoints[0].maxPacketSize = 0x0200;
                      },
                      kBadConfiguration, false},
            StartCase{"EndpointDescriptorOfOneByte",
                      [](DeviceScript& s) { s.faults.firstEndpointLength = 1; }, kBadConfiguration,
                      false},
            // The interface announces two endpoints, one follows it.
            StartCase{"FewerEndpointsThanAnnounced",
                      [](DeviceScript& s) {
                        s.configuration.interfaces[0].endpoints.pop_back();
                        s.faults.firstInterfaceEndpoints = 2;
                      },
                      kBadConfiguration, false},
            StartCase{"SelectConfigurationFails",
                      [](DeviceScript& s) { s.faults.failSelectConfiguration = kStall; },
                      STATUS_UNSUCCESSFUL},
            StartCase{"TotalLengthBelowNine",
                      [](DeviceScript& s) { s.faults.totalLengthOverride = 8; }, kBadConfiguration,
                      false},
            // The library's parser returns the interface cut at byte 9 all
            // the same: the driver must refuse it before reading a field.
            StartCase{"InterfaceCutByTheTotalLength",
                      [](DeviceScript& s) { s.faults.totalLengthOverride = 12; },
                      kBadConfiguration,
                      false,
                      {},
                      false,
                      true},
            // Seven bytes whose last two read as a 2-byte descriptor: the
            // walk stays in step, only the interface's own length is wrong.
            StartCase{"InterfaceDescriptorOfSevenBytes",
                      [](DeviceScript& s) {
                        s.faults.firstInterfaceLength = 7;
                        s.configuration.interfaces[0].interfaceProtocol = 2;
                      },
                      kBadConfiguration, false},
            StartCase{"SecondReadShort", [](DeviceScript& s) { s.faults.secondReadShortBy = 1; },
                      kBadConfiguration, false},
            StartCase{"TotalLengthAboveWhatArrives",
                      [](DeviceScript& s) { s.faults.totalLengthOverride = 64; }, kBadConfiguration,
                      false},
            StartCase{"SecondReadAnotherTotalLength",
                      [](DeviceScript& s) { s.faults.secondReadTotalLength = 25; },
                      kBadConfiguration, false}),
        testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) == CompletionMode::Inline ? "Inline" : "Async");
    });

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
  }));
}

// A stop releases the configuration even when the deconfigure request
// cannot be sent (its IRP not allocated): a transfer then fails and sends
// nothing. A second start configures again.
class StopTest : public DriverTest, public testing::WithParamInterface<bool> {};

TEST_P(StopTest, StopReleasesTheConfigurationAndTransfersFailUntilTheNextStart) {
  const bool deconfigureFails = GetParam();
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
    HANDLE handle = OpenDevice();
    if (deconfigureFails) {
      machine().Faults().FailNth(AllocationKind::Irp,
                                 machine().Faults().Count(AllocationKind::Irp) + 1);
    }
    const auto sendPnp = [](UCHAR minor) {
      return kernel::SendIrpAndWait(QuillDevice(), [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
      });
    };
    EXPECT_EQ(sendPnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Device().Configured(), deconfigureFails);
    const ControlResult write = Write(handle, 5);
    EXPECT_FALSE(write.ok);
    EXPECT_EQ(write.error, ErrorFor(STATUS_INVALID_DEVICE_STATE));
    EXPECT_TRUE(TransferLengths().empty());
    EXPECT_EQ(sendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Write(handle, 5).ok);
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{5});
    CloseHandle(handle);
  }));
}

INSTANTIATE_TEST_SUITE_P(Deconfigure, StopTest, testing::Bool());

}  // namespace
}  // namespace driver_tests
