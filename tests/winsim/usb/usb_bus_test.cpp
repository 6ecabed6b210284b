// The bus on a simulated machine with the real Plug and Play manager: the tree
// through the hub control codes, the Q417 device's trigger and return in
// update mode, URBs in both completion modes, and the bus's timing. (A client
// driver's whole life on the returned device is quillfw's, in tests/driver.)
#include <gtest/gtest.h>

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <usbiodef.h>

#include "kernel/kernel.h"
#include "machine/machine_description.h"
#include "pnp/pnp_manager.h"
#include "sim_machine.h"
#include "test_irps.h"
#include "usb/bus_timing.h"
#include "usb/models/q417.h"
#include "usb/usb_bus.h"

using namespace winsim;
using namespace winsim::usb;
using testing_support::SubmitUrbAndWait;

namespace {

class UsbBusTest : public testing_support::SimMachineTest {
 protected:
  static UsbTreeScript Example(const char* name) {
    return LoadMachineDescription(std::string(EXAMPLE_MACHINES_DIR) + "/" + name).usb;
  }
};

// The node with instance id, present or not (the newest one).
const pnp::DeviceNode* FindNode(const pnp::DeviceNode* node, const std::string& instance) {
  const pnp::DeviceNode* found = nullptr;
  for (const pnp::DeviceNode* child = pnp::FirstChild(node); child != nullptr;
       child = pnp::NextSibling(child)) {
    if (pnp::Properties(child).instanceId == instance) found = child;
    if (const pnp::DeviceNode* below = FindNode(child, instance)) found = below;
  }
  return found;
}

// User mode's view: open a name, send buffered control codes.
class Handle {
 public:
  explicit Handle(const std::string& path) { status_ = kernel::UserOpen(path, &file_); }
  ~Handle() {
    if (file_ != nullptr) kernel::UserClose(file_);
  }
  NTSTATUS Status() const { return status_; }
  NTSTATUS Control(ULONG code, std::vector<uint8_t>& buffer, ULONG inLength, ULONG outLength,
                   ULONG* returned) {
    return kernel::UserDeviceIoControl(file_, code, buffer.data(), inLength, buffer.data(),
                                       outLength, returned);
  }
  // The two-call pattern; nameOffset 4 (controllers) or 8 (ports).
  std::string Name(ULONG code, ULONG nameOffset, ULONG port = 0) {
    std::vector<uint8_t> buffer(nameOffset + 2, 0);
    std::memcpy(buffer.data(), &port, nameOffset == 8 ? 4 : 0);
    ULONG returned = 0;
    if (!NT_SUCCESS(Control(code, buffer, nameOffset == 8 ? nameOffset + 2 : 0, nameOffset + 2,
                            &returned))) {
      return "<failed>";
    }
    ULONG actual = 0;
    std::memcpy(&actual, buffer.data() + nameOffset - 4, 4);
    buffer.assign(actual, 0);
    std::memcpy(buffer.data(), &port, nameOffset == 8 ? 4 : 0);
    if (!NT_SUCCESS(Control(code, buffer, nameOffset == 8 ? actual : 0, actual, &returned))) {
      return "<failed>";
    }
    std::string name;
    for (ULONG at = nameOffset; at + 1 < returned && buffer[at] != 0; at += 2) {
      name += static_cast<char>(buffer[at]);
    }
    return name;
  }
  std::vector<uint8_t> ConnectionInformation(ULONG port) {
    std::vector<uint8_t> buffer(365, 0);
    std::memcpy(buffer.data(), &port, 4);
    ULONG returned = 0;
    last_ = Control(IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, buffer, 365, 365, &returned);
    buffer.resize(returned);
    return buffer;
  }
  // room: the data bytes the buffer holds after the request (wLength when -1).
  NTSTATUS DescriptorRequest(ULONG port, USHORT value, USHORT length, ULONG* returned,
                             int room = -1) {
    std::vector<uint8_t> buffer(12 + (room < 0 ? length : room), 0);
    USB_DESCRIPTOR_REQUEST request = {};
    request.ConnectionIndex = port;
    request.SetupPacket.wValue = value;
    request.SetupPacket.wLength = length;
    std::memcpy(buffer.data(), &request, sizeof(request));
    const ULONG size = static_cast<ULONG>(buffer.size());
    return Control(IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, buffer, size, size, returned);
  }
  NTSTATUS last_ = STATUS_SUCCESS;

 private:
  PFILE_OBJECT file_ = nullptr;
  NTSTATUS status_ = STATUS_UNSUCCESSFUL;
};

TEST_F(UsbBusTest, TheExampleMachineShowsItsTreeThroughTheHubControlCodes) {
  size_t interfaces = 0;
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(Example("default-nt.json"));
    ASSERT_NE(bus, nullptr);
    interfaces = pnp::InterfacePaths(GUID_CLASS_USB_HOST_CONTROLLER).size();
    {
      Handle controller("\\\\.\\HCD1");
      ASSERT_EQ(controller.Status(), STATUS_SUCCESS);
      EXPECT_EQ(controller.Name(IOCTL_GET_HCD_DRIVERKEY_NAME, 4).rfind("{36FC9E60-", 0), 0u);
      const std::string rootHub = controller.Name(IOCTL_USB_GET_ROOT_HUB_NAME, 4);
      EXPECT_EQ(rootHub, bus->HubNameAt("1"));
      EXPECT_EQ(rootHub.rfind("USB#ROOT_HUB#", 0), 0u);

      Handle root("\\\\.\\" + rootHub);
      ASSERT_EQ(root.Status(), STATUS_SUCCESS);
      std::vector<uint8_t> node(76, 0);
      ULONG returned = 0;
      ASSERT_EQ(root.Control(IOCTL_USB_GET_NODE_INFORMATION, node, 76, 76, &returned),
                STATUS_SUCCESS);
      EXPECT_EQ(node[6], 2);
      const std::vector<uint8_t> hubPort = root.ConnectionInformation(1);
      ASSERT_EQ(hubPort.size(), 35u + 11u);  // the hub's interrupt pipe
      EXPECT_EQ(hubPort[24], 1);             // DeviceIsHub
      EXPECT_EQ(hubPort[31], DeviceConnected);
      EXPECT_EQ(root.ConnectionInformation(2).at(31), NoDeviceConnected);
      EXPECT_EQ(root.ConnectionInformation(3).size(), 0u);
      EXPECT_EQ(root.last_, STATUS_INVALID_PARAMETER);

      const std::string hubName = root.Name(IOCTL_USB_GET_NODE_CONNECTION_NAME, 8, 1);
      EXPECT_EQ(hubName, bus->HubNameAt("1/1"));
      Handle hub("\\\\.\\" + hubName);
      ASSERT_EQ(hub.Status(), STATUS_SUCCESS);
      const std::vector<uint8_t> q417 = hub.ConnectionInformation(2);
      ASSERT_GE(q417.size(), 35u);
      EXPECT_EQ(q417[24], 0);
      EXPECT_EQ(q417[31], DeviceConnected);
      EXPECT_EQ(q417[4 + 8] | q417[4 + 9] << 8, 0x0417);  // idVendor
      EXPECT_EQ(hub.Name(IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 8, 2).rfind("{36FC9E60-", 0),
                0u);
      // A port without a hub has no name to give.
      EXPECT_EQ(hub.Name(IOCTL_USB_GET_NODE_CONNECTION_NAME, 8, 2), "");
    }
    bus->Shutdown();
  });
  // Both controllers offered their interface to the manager.
  EXPECT_EQ(interfaces, 2u);
  // The account names each control code the walk sent as what it is.
  std::set<std::string> labels;
  for (const Event& event : machine().Log().OfKind(EventKind::Urb)) {
    if (event.text.find("DRIVERKEY") != std::string::npos) {
      labels.insert(event.text.substr(0, event.text.find("_NAME") + 5));
    }
  }
  EXPECT_EQ(labels, (std::set<std::string>{"host controller IOCTL_GET_HCD_DRIVERKEY_NAME",
                                           "hub IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"}));
}

TEST_F(UsbBusTest, Q417TakesTheTriggerAndReturnsInUpdateMode) {
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(Example("default-nt.json"));
    ASSERT_NE(bus, nullptr);
    PDEVICE_OBJECT normalPdo = bus->PdoAt("1/1/2");
    ASSERT_NE(normalPdo, nullptr);
    {
      Handle hub("\\\\.\\" + bus->HubNameAt("1/1"));
      ULONG returned = 0;
      ASSERT_EQ(hub.DescriptorRequest(2, 0x0200, 9, &returned), STATUS_SUCCESS);
      EXPECT_EQ(returned, 21u);
      // A wLength beyond the caller's buffer is refused before the device
      // sees it.
      EXPECT_EQ(hub.DescriptorRequest(2, 0x0200, 9, &returned, 8), STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(bus->DeviceAt("1/1/2")->Requests().size(), 1u);
      for (int attempt = 1; attempt <= 10; ++attempt) {
        EXPECT_EQ(hub.DescriptorRequest(2, 0x0255, 32, &returned), STATUS_UNSUCCESSFUL) << attempt;
      }
      // The device has left: its port is empty and the hub refuses requests
      // that name it.
      EXPECT_EQ(hub.ConnectionInformation(2).at(31), NoDeviceConnected);
      EXPECT_EQ(hub.DescriptorRequest(2, 0x0200, 9, &returned), STATUS_INVALID_PARAMETER);
      pnp::WaitIdle();
      LARGE_INTEGER wait;
      wait.QuadPart = -3'000 * kTicksPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      const std::vector<uint8_t> back = hub.ConnectionInformation(2);
      EXPECT_EQ(back.at(31), DeviceConnected);
      EXPECT_EQ(back[4 + 10] | back[4 + 11] << 8, 0xF001);  // idProduct in update mode
    }
    const Q417Device* update = AsQ417(bus->DeviceAt("1/1/2"));
    ASSERT_NE(update, nullptr);
    EXPECT_TRUE(update->InUpdateMode());
    EXPECT_NE(bus->PdoAt("1/1/2"), normalPdo);
    EXPECT_EQ(AsQ417(bus->History("1/1/2").front())->TriggerRequests(), 10u);
    // The manager saw the normal-mode device go and the update-mode one come.
    const pnp::DeviceNode* normal = FindNode(pnp::Root(), "USB\\VID_0417&PID_1000\\Q417-0001");
    const pnp::DeviceNode* back = FindNode(pnp::Root(), "USB\\VID_0417&PID_F001\\Q417-0001");
    ASSERT_NE(normal, nullptr);
    ASSERT_NE(back, nullptr);
    EXPECT_FALSE(pnp::IsPresent(normal));
    EXPECT_EQ(pnp::State(normal), pnp::NodeState::Removed);
    EXPECT_TRUE(pnp::IsPresent(back));
    bus->Shutdown();
  });
}

// A connected update-mode device that records the bytes it takes.
PortScript GenericUpdateModePort() {
  PortScript port;
  port.status = DeviceConnected;
  port.device = DefaultQ417UpdateMode();
  port.device->model = kGenericModel;
  return port;
}

class UsbBusUrbTest : public UsbBusTest, public testing::WithParamInterface<CompletionMode> {};

TEST_P(UsbBusUrbTest, ConfigureTransferResetAndDeconfigure) {
  RunOnMachine([&] {
    PortScript port = GenericUpdateModePort();
    port.device->faults.failTransfers = {{4, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
    UsbTreeScript tree = SinglePortTree(port);
    tree.completion = GetParam();
    std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
    ASSERT_NE(bus, nullptr);
    PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
    const bool expectPending = GetParam() == CompletionMode::Asynchronous;
    bool pended = false;

    URB urb = {};
    USB_DEVICE_DESCRIPTOR device = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &device, nullptr, sizeof(device),
                                 nullptr);
    ASSERT_EQ(SubmitUrbAndWait(pdo, &urb, &pended), STATUS_SUCCESS);
    EXPECT_EQ(pended, expectPending);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(device.idProduct, 0xF001);

    // The whole configuration, through an MDL this time.
    UCHAR configuration[64] = {};
    PMDL mdl = IoAllocateMdl(configuration, sizeof(configuration), FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, nullptr, mdl,
                                 sizeof(configuration), nullptr);
    ASSERT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 32u);  // bytes moved

    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
    PUSB_INTERFACE_DESCRIPTOR interface =
        USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    ASSERT_NE(interface, nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {{interface, nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(select, nullptr);
    PUSBD_INTERFACE_INFORMATION information = list[0].Interface;
    information->Pipes[0].MaximumTransferSize = 4096;
    information->Pipes[1].MaximumTransferSize = 4096;
    ASSERT_EQ(SubmitUrbAndWait(pdo, select), STATUS_SUCCESS);
    ASSERT_EQ(information->NumberOfPipes, 2u);
    EXPECT_EQ(information->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(information->Pipes[1].EndpointAddress, 0x82);
    EXPECT_EQ(information->Pipes[0].PipeType, UsbdPipeTypeBulk);
    USBD_PIPE_HANDLE out = information->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE in = information->Pipes[1].PipeHandle;
    EXPECT_NE(out, nullptr);
    EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ExFreePool(select);

    // The flags' direction is the endpoint's once the transfer is back,
    // whatever the client put there.
    UCHAR data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out, data, nullptr, 8,
        USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN, nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 8u);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, ULONG{USBD_SHORT_TRANSFER_OK});
    // An IN transfer the device has nothing for: a short transfer of 0 bytes.
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), in,
                                           data, nullptr, 8, USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags,
              ULONG{USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN});
    // A zero-length packet needs neither buffer nor MDL; a longer transfer
    // without either is refused, and a finding.
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           out, nullptr, nullptr, 0, USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_SUCCESS);
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           out, nullptr, nullptr, 8, USBD_SHORT_TRANSFER_OK,
                                           nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Machine::Current().Verify().Has(winsim::rule::kTransferWithoutBuffer));
    Machine::Current().Verify().Expect(winsim::rule::kTransferWithoutBuffer);
    // The fourth transfer fails as scripted, and halts the endpoint: until
    // the pipe is reset, transfers fail at once and never reach the device.
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           out, data, nullptr, 8, USBD_SHORT_TRANSFER_OK, nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CRC);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb, &pended), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(pended);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

    struct _URB_PIPE_REQUEST reset = {};
    reset.Hdr.Length = sizeof(reset);
    reset.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.PipeHandle = out;
    EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&reset)), STATUS_SUCCESS);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_SUCCESS);

    struct _URB_SELECT_CONFIGURATION deconfigure = {};
    deconfigure.Hdr.Length = sizeof(deconfigure);
    deconfigure.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&deconfigure)), STATUS_SUCCESS);
    // The old pipe handles are gone with the configuration.
    reset.PipeHandle = out;
    EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&reset)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reset.Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    const std::vector<DeviceRequest>& requests = bus->DeviceAt("0/1")->Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests[3].data, std::vector<uint8_t>(data, data + 8));
    EXPECT_TRUE(requests[5].data.empty());
    EXPECT_EQ(requests[7].kind, RequestKind::ResetPipe);
    EXPECT_EQ(requests[8].kind, RequestKind::Transfer);
    EXPECT_EQ(requests[9].kind, RequestKind::Deconfigure);
    bus->Shutdown();
  });
}

INSTANTIATE_TEST_SUITE_P(BothCompletionModes, UsbBusUrbTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

// Selects the first configuration of the device at pdo; returns its pipes.
std::vector<USBD_PIPE_HANDLE> Configure(PDEVICE_OBJECT pdo) {
  UCHAR configuration[64] = {};
  URB urb = {};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, configuration, nullptr,
                               sizeof(configuration), nullptr);
  std::vector<USBD_PIPE_HANDLE> pipes;
  if (SubmitUrbAndWait(pdo, &urb) != STATUS_SUCCESS) return pipes;
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr},
      {nullptr, nullptr}};
  PURB select = USBD_CreateConfigurationRequestEx(config, list);
  for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
    list[0].Interface->Pipes[i].MaximumTransferSize = 4096;
  }
  if (SubmitUrbAndWait(pdo, select) == STATUS_SUCCESS) {
    for (ULONG i = 0; i < list[0].Interface->NumberOfPipes; ++i) {
      pipes.push_back(list[0].Interface->Pipes[i].PipeHandle);
    }
  }
  ExFreePool(select);
  return pipes;
}

NTSTATUS Write(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, std::vector<uint8_t> bytes) {
  URB urb = {};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                         bytes.data(), nullptr, static_cast<ULONG>(bytes.size()),
                                         USBD_SHORT_TRANSFER_OK, nullptr);
  return SubmitUrbAndWait(pdo, &urb);
}

TEST_F(UsbBusTest, AHeldTransferEndsWhenTheDeviceIsPulled) {
  RunOnMachine([&] {
    PortScript port = GenericUpdateModePort();
    port.device->faults.neverCompleteTransfers = {1};
    const UsbTreeScript tree = SinglePortTree(port);
    std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
    ASSERT_NE(bus, nullptr);
    PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
    const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
    ASSERT_EQ(pipes.size(), 2u);
    NTSTATUS status = STATUS_PENDING;
    Machine::Current().Sched().CreateThread("writer", [&] { status = Write(pdo, pipes[0], {1}); });
    LARGE_INTEGER wait;
    wait.QuadPart = -100 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(status, STATUS_PENDING);  // the device does not answer
    // A pipe with a transfer on it cannot be reset.
    struct _URB_PIPE_REQUEST reset = {};
    reset.Hdr.Length = sizeof(reset);
    reset.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    reset.PipeHandle = pipes[0];
    EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&reset)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(reset.Hdr.Status, USBD_STATUS_ERROR_BUSY);
    reset.PipeHandle = pipes[1];  // the other pipe is idle
    EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&reset)), STATUS_SUCCESS);
    EXPECT_TRUE(bus->Unplug("0/1"));
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    pnp::WaitIdle();
    EXPECT_EQ(bus->PdoAt("0/1"), nullptr);  // deleted at its removal
    bus->Shutdown();
  });
}

// A device below D0 sits on a suspended port: the hub fails a URB sent to
// it at once with STATUS_DEVICE_POWERED_OFF and nothing reaches the device;
// back in D0 the port carries transfers again.
TEST_F(UsbBusTest, AUrbToASuspendedDeviceFailsAtOnceUntilD0) {
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(SinglePortTree(GenericUpdateModePort()));
    ASSERT_NE(bus, nullptr);
    PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
    const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
    ASSERT_EQ(pipes.size(), 2u);
    auto setPower = [pdo](DEVICE_POWER_STATE state) {
      return kernel::SendIrpAndWait(pdo, [state](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = IRP_MN_SET_POWER;
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = state;
      });
    };
    const UsbDevice* device = bus->DeviceAt("0/1");
    ASSERT_NE(device, nullptr);
    auto transfers = [device] {
      return std::count_if(device->Requests().begin(), device->Requests().end(),
                           [](const DeviceRequest& r) { return r.kind == RequestKind::Transfer; });
    };
    for (const auto& [state, status, reached] :
         {std::tuple{PowerDeviceD3, STATUS_DEVICE_POWERED_OFF, 0},
          std::tuple{PowerDeviceD2, STATUS_DEVICE_POWERED_OFF, 0},
          std::tuple{PowerDeviceD0, STATUS_SUCCESS, 1}}) {
      SCOPED_TRACE(static_cast<int>(state));
      ASSERT_EQ(setPower(state), STATUS_SUCCESS);
      const auto before = transfers();
      const VirtualTime start = Machine::Current().Sched().Now();
      EXPECT_EQ(Write(pdo, pipes[0], {1, 2}), status);
      EXPECT_EQ(transfers() - before, reached);
      if (reached == 0) {
        EXPECT_EQ(Machine::Current().Sched().Now(), start);  // failed at once
      }
    }
    pnp::WaitIdle();
    bus->Shutdown();
  });
}

// The pipe's MaximumTransferSize (4,096 here) holds on Windows 98 and 2000;
// XP's port driver ignores it.
TEST_F(UsbBusTest, MaximumTransferSizeHoldsBeforeXp) {
  for (const auto& [os, status] : {std::pair{OsFamily::Windows98, STATUS_INVALID_PARAMETER},
                                   std::pair{OsFamily::Windows2000, STATUS_INVALID_PARAMETER},
                                   std::pair{OsFamily::WindowsNt, STATUS_SUCCESS}}) {
    SCOPED_TRACE(static_cast<int>(os));
    TearDown();
    SetUp();
    machine().SetOs(os);
    const NTSTATUS beyondTheMaximum = status;  // a lambda cannot capture a binding in clang 14
    RunOnMachine([&] {
      std::unique_ptr<UsbBus> bus = UsbBus::Create(SinglePortTree(GenericUpdateModePort()));
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
      const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
      ASSERT_EQ(pipes.size(), 2u);
      EXPECT_EQ(Write(pdo, pipes[0], std::vector<uint8_t>(4096)), STATUS_SUCCESS);
      EXPECT_EQ(Write(pdo, pipes[0], std::vector<uint8_t>(4097)), beyondTheMaximum);
      bus->Shutdown();
    });
  }
}

// MDLs handed to the bus must describe resident pages: built for
// non-paged pool, locked, or partial MDLs of such; any other is refused and
// named. Building one for non-paged pool over paged pool is a finding too.
TEST_F(UsbBusTest, TheBusTakesOnlyMdlsOfResidentPages) {
  enum class Make { Built, Locked, PartialOfBuilt, Unbuilt, PartialOfUnbuilt, Unlocked };
  const struct {
    const char* what;
    Make make;
    NTSTATUS status;
  } cases[] = {
      {"built for non-paged pool", Make::Built, STATUS_SUCCESS},
      {"probed and locked", Make::Locked, STATUS_SUCCESS},
      {"partial of a built MDL", Make::PartialOfBuilt, STATUS_SUCCESS},
      {"only allocated", Make::Unbuilt, STATUS_INVALID_PARAMETER},
      {"partial of an unbuilt MDL", Make::PartialOfUnbuilt, STATUS_INVALID_PARAMETER},
      {"unlocked again", Make::Unlocked, STATUS_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    machine().Verify().Expect(rule::kMdlNotLocked);
    RunOnMachine([&] {
      std::unique_ptr<UsbBus> bus = UsbBus::Create(SinglePortTree(GenericUpdateModePort()));
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
      auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 18, PoolTag("Test")));
      PMDL mdl = IoAllocateMdl(buffer, 18, FALSE, FALSE, nullptr);
      PMDL partial = IoAllocateMdl(buffer, 18, FALSE, FALSE, nullptr);
      if (c.make == Make::Built || c.make == Make::PartialOfBuilt) MmBuildMdlForNonPagedPool(mdl);
      if (c.make == Make::Locked || c.make == Make::Unlocked) {
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
      }
      if (c.make == Make::Unlocked) MmUnlockPages(mdl);
      const bool usePartial = c.make == Make::PartialOfBuilt || c.make == Make::PartialOfUnbuilt;
      if (usePartial) IoBuildPartialMdl(mdl, partial, buffer, 18);
      URB urb = {};
      UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                   USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr,
                                   usePartial ? partial : mdl, 18, nullptr);
      EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), c.status);
      EXPECT_EQ(machine().Verify().Has(rule::kMdlNotLocked), !NT_SUCCESS(c.status));
      if (c.make == Make::Locked) MmUnlockPages(mdl);
      IoFreeMdl(partial);
      IoFreeMdl(mdl);
      ExFreePool(buffer);
      bus->Shutdown();
    });
  }
  // Non-paged pool's MDL over paged pool.
  TearDown();
  SetUp();
  machine().Verify().Expect(rule::kMdlPagedPool);
  RunOnMachine([&] {
    void* paged = ExAllocatePoolWithTag(PagedPool, 32, PoolTag("Test"));
    PMDL mdl = IoAllocateMdl(static_cast<UCHAR*>(paged) + 8, 16, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_TRUE(machine().Verify().Has(rule::kMdlPagedPool));
    IoFreeMdl(mdl);
    ExFreePool(paged);
  });
}

// The full-speed frames of one transfer: bulk packets 19 a frame, interrupt
// packets one per interval, control one transaction a frame.
TEST(BusTiming, FramesOfATransfer) {
  struct Case {
    TransferType type;
    uint32_t length;
    uint16_t maxPacketSize;
    uint8_t interval;
    uint32_t frames;
  };
  const Case cases[] = {
      {TransferType::Bulk, 0, 64, 0, 1},        // a zero-length packet
      {TransferType::Bulk, 5, 64, 0, 1},        // the download's header
      {TransferType::Bulk, 256, 64, 0, 1},      // one block: 4 packets
      {TransferType::Bulk, 1216, 64, 0, 1},     // a frame's worth
      {TransferType::Bulk, 1217, 64, 0, 2},     // one byte more
      {TransferType::Bulk, 4096, 64, 0, 4},     // 64 packets
      {TransferType::Bulk, 256, 8, 0, 2},       // 32 small packets
      {TransferType::Bulk, 100, 0, 0, 1},       // size 0 counts as 64
      {TransferType::Interrupt, 8, 8, 10, 10},  // one packet, every 10 frames
      {TransferType::Interrupt, 16, 8, 0, 2},   // interval 0: every frame
      {TransferType::Control, 0, 8, 0, 2},      // setup, status
      {TransferType::Control, 18, 8, 0, 5},     // device descriptor, 3 data packets
      {TransferType::Control, 18, 64, 0, 3},    // one data packet
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FullSpeedFrames(c.type, c.length, c.maxPacketSize, c.interval), c.frames)
        << static_cast<int>(c.type) << " length " << c.length << " packet " << c.maxPacketSize;
  }
}

UsbTreeScript UpdateModeDevices(size_t controllers, TransferTiming timing) {
  UsbTreeScript tree;
  for (size_t i = 0; i < controllers; ++i) {
    ControllerScript controller;
    controller.rootPorts = {GenericUpdateModePort()};
    tree.controllers.push_back(controller);
  }
  tree.timing = timing;
  return tree;
}

// A whole 64 KiB download as the driver sends it (the header, then 256
// transfers of 256 bytes) takes a frame a transfer on a full-speed bus, and
// no time when transfers are instant; transfers of 4096 bytes take 4 frames.
TEST_F(UsbBusTest, TransfersTakeTheirFramesOnTheVirtualClock) {
  struct Case {
    TransferTiming timing;
    size_t transferSize;
    VirtualTime expected;
  };
  const Case cases[] = {
      {TransferTiming::FullSpeed, 256, (1 + 256) * kFullSpeedFrame},
      {TransferTiming::FullSpeed, 4096, (1 + 16 * 4) * kFullSpeedFrame},
      {TransferTiming::Instant, 256, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.transferSize);
    RunOnMachine([&] {
      std::unique_ptr<UsbBus> bus = UsbBus::Create(UpdateModeDevices(1, c.timing));
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
      const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
      ASSERT_EQ(pipes.size(), 2u);
      const size_t requestsBefore = bus->DeviceAt("0/1")->Requests().size();
      const VirtualTime start = Machine::Current().Sched().Now();
      ASSERT_EQ(Write(pdo, pipes[0], {0xEE, 0, 0, 0, 0}), STATUS_SUCCESS);
      for (size_t sent = 0; sent < 65536; sent += c.transferSize) {
        ASSERT_EQ(Write(pdo, pipes[0], std::vector<uint8_t>(c.transferSize, 0xA5)), STATUS_SUCCESS);
      }
      EXPECT_EQ(Machine::Current().Sched().Now() - start, c.expected);
      EXPECT_EQ(bus->DeviceAt("0/1")->Requests().size(),
                requestsBefore + 1 + 65536 / c.transferSize);
      bus->Shutdown();
    });
  }
}

// Transfers submitted together on one controller follow one another; on
// two controllers they run side by side.
TEST_F(UsbBusTest, TransfersShareTheirControllersFrames) {
  struct Case {
    const char* second;  // the second device's port
    size_t controllers;
    VirtualTime secondDone;
  };
  const Case cases[] = {
      {"0/2", 1, 8 * kFullSpeedFrame},  // after the first's 4 frames
      {"1/1", 2, 4 * kFullSpeedFrame},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.second);
    RunOnMachine([&] {
      UsbTreeScript tree = UpdateModeDevices(c.controllers, TransferTiming::FullSpeed);
      if (c.controllers == 1)
        tree.controllers[0].rootPorts.push_back(tree.controllers[0].rootPorts[0]);
      std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT first = bus->PdoAt("0/1");
      PDEVICE_OBJECT second = bus->PdoAt(c.second);
      const std::vector<USBD_PIPE_HANDLE> firstPipes = Configure(first);
      const std::vector<USBD_PIPE_HANDLE> secondPipes = Configure(second);
      ASSERT_EQ(firstPipes.size(), 2u);
      ASSERT_EQ(secondPipes.size(), 2u);
      Scheduler& scheduler = Machine::Current().Sched();
      LARGE_INTEGER settle;
      settle.QuadPart = -10 * kTicksPerMillisecond;  // the configuration's frames are over
      KeDelayExecutionThread(KernelMode, FALSE, &settle);
      const VirtualTime start = scheduler.Now();
      VirtualTime firstDone = -1;
      VirtualTime secondDone = -1;
      scheduler.CreateThread("first", [&] {
        EXPECT_EQ(Write(first, firstPipes[0], std::vector<uint8_t>(4096)), STATUS_SUCCESS);
        firstDone = scheduler.Now() - start;
      });
      scheduler.CreateThread("second", [&] {
        EXPECT_EQ(Write(second, secondPipes[0], std::vector<uint8_t>(4096)), STATUS_SUCCESS);
        secondDone = scheduler.Now() - start;
      });
      LARGE_INTEGER wait;
      wait.QuadPart = -100 * kTicksPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      EXPECT_EQ(firstDone, 4 * kFullSpeedFrame);
      EXPECT_EQ(secondDone, c.secondDone);
      bus->Shutdown();
    });
  }
}

// A device pulled while a transfer's frames run: the transfer ends at once
// with the device gone (not later with success), and the device's record
// says so.
TEST_F(UsbBusTest, ATransferOnTheBusEndsWhenTheDeviceIsPulled) {
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(UpdateModeDevices(1, TransferTiming::FullSpeed));
    ASSERT_NE(bus, nullptr);
    PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
    const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
    ASSERT_EQ(pipes.size(), 2u);
    const UsbDevice* device = bus->DeviceAt("0/1");
    NTSTATUS status = STATUS_PENDING;
    Machine::Current().Sched().CreateThread(
        "writer", [&] { status = Write(pdo, pipes[0], std::vector<uint8_t>(4096)); });
    LARGE_INTEGER wait;
    wait.QuadPart = -1 * kTicksPerMillisecond;  // within the transfer's 4 frames
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_TRUE(bus->Unplug("0/1"));
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_FALSE(device->Requests().empty());
    EXPECT_EQ(device->Requests().back().status, STATUS_DEVICE_NOT_CONNECTED);
    // So does its capture record (quillsim --pcap).
    const std::vector<Event> packets = Machine::Current().Log().OfKind(EventKind::UsbPacket);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.back().text + " " + packets.back().Field("usbdStatus"),
              "complete 0xC0007000");
    // Its frames running out later completes nothing a second time.
    wait.QuadPart = -20 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
    bus->Shutdown();
  });
}

// A descriptor request through the hub is a control transfer: setup, the
// data in the default endpoint's packets (8 bytes), status.
TEST_F(UsbBusTest, AHubDescriptorRequestTakesItsControlFrames) {
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(UpdateModeDevices(1, TransferTiming::FullSpeed));
    ASSERT_NE(bus, nullptr);
    const uint16_t packet = bus->DeviceAt("0/1")->Script().maxPacketSize0;
    {
      Handle hub("\\\\.\\" + bus->HubNameAt("0"));
      ULONG returned = 0;
      const VirtualTime start = Machine::Current().Sched().Now();
      ASSERT_EQ(hub.DescriptorRequest(1, 0x0100, 18, &returned), STATUS_SUCCESS);
      EXPECT_EQ(returned, sizeof(USB_DESCRIPTOR_REQUEST) + 18);
      EXPECT_EQ(Machine::Current().Sched().Now() - start,
                (2 + (18 + packet - 1) / packet) * kFullSpeedFrame);
    }
    bus->Shutdown();
  });
}

}  // namespace
