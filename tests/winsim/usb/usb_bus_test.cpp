// The bus on a simulated machine with the real Plug and Play manager: URBs in
// both completion modes, power, MDLs and the bus's timing, where quillfw and
// the application do not go. (The tree through the hub control codes, the
// Q417's trigger and return, and a client driver's whole life are the
// whole-program runs'.)
#include <gtest/gtest.h>

#include <wdm.h>
#include <usbdi.h>
#include <usbdlib.h>

#include <optional>
#include <string>
#include <vector>

#include <usbiodef.h>

#include "kernel/kernel.h"
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

using UsbBusTest = testing_support::SimMachineTest;

// A connected update-mode device that records the bytes it takes.
PortScript GenericUpdateModePort() {
  PortScript port;
  port.status = DeviceConnected;
  port.device = DefaultQ417UpdateMode();
  port.device->model = kGenericModel;
  return port;
}

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

    const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
    ASSERT_EQ(pipes.size(), 2u);
    USBD_PIPE_HANDLE out = pipes[0];
    USBD_PIPE_HANDLE in = pipes[1];
    URB urb = {};

    // The flags' direction is the endpoint's once the transfer is back,
    // whatever the client put there.
    UCHAR data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UsbBuildInterruptOrBulkTransferRequest(
        &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), out, data, nullptr, 8,
        USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN, nullptr);
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb, &pended), STATUS_SUCCESS);
    EXPECT_EQ(pended, expectPending);
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
    // A transfer on one is refused, and a finding (Windows' port driver
    // would follow the freed handle).
    EXPECT_FALSE(Machine::Current().Verify().Has(winsim::rule::kPipeClosed));
    EXPECT_EQ(SubmitUrbAndWait(pdo, &urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_TRUE(Machine::Current().Verify().Has(winsim::rule::kPipeClosed));
    Machine::Current().Verify().Expect(winsim::rule::kPipeClosed);

    const std::vector<DeviceRequest>& requests = bus->DeviceAt("0/1")->Requests();
    ASSERT_EQ(requests.size(), 9u);  // from the configuration's descriptor read on
    EXPECT_EQ(requests[2].data, std::vector<uint8_t>(data, data + 8));
    EXPECT_TRUE(requests[4].data.empty());
    EXPECT_EQ(requests[6].kind, RequestKind::ResetPipe);
    EXPECT_EQ(requests[7].kind, RequestKind::Transfer);
    EXPECT_EQ(requests[8].kind, RequestKind::Deconfigure);
    bus->Shutdown();
  });
}

INSTANTIATE_TEST_SUITE_P(BothCompletionModes, UsbBusUrbTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

// A transfer the device holds unanswered, or whose frames still run, ends
// at once when the device is pulled, with the device gone (not later with
// success, and not a second time when its frames run out). A pipe with a
// transfer on it cannot be reset meanwhile.
TEST_F(UsbBusTest, ATransferEndsWhenTheDeviceIsPulled) {
  for (const bool held : {true, false}) {
    SCOPED_TRACE(held ? "held by the device" : "on the bus");
    TearDown();
    SetUp();
    RunOnMachine([&] {
      PortScript port = GenericUpdateModePort();
      if (held) port.device->faults.neverCompleteTransfers = {1};
      UsbTreeScript tree = SinglePortTree(port);
      tree.timing = TransferTiming::FullSpeed;
      std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
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
      struct _URB_PIPE_REQUEST reset = {};
      reset.Hdr.Length = sizeof(reset);
      reset.Hdr.Function = URB_FUNCTION_RESET_PIPE;
      reset.PipeHandle = pipes[0];
      EXPECT_EQ(SubmitUrbAndWait(pdo, reinterpret_cast<PURB>(&reset)), STATUS_UNSUCCESSFUL);
      EXPECT_EQ(reset.Hdr.Status, USBD_STATUS_ERROR_BUSY);
      EXPECT_TRUE(bus->Unplug("0/1"));
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
      ASSERT_FALSE(device->Requests().empty());
      EXPECT_EQ(device->Requests().back().status, STATUS_DEVICE_NOT_CONNECTED);
      wait.QuadPart = -20 * kTicksPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
      pnp::WaitIdle();
      EXPECT_EQ(bus->PdoAt("0/1"), nullptr);  // deleted at its removal
      bus->Shutdown();
    });
  }
}

// 64 KiB in transfers of 4,096 bytes take 4 frames each on a full-speed
// bus, and no time when transfers are instant.
TEST_F(UsbBusTest, TransfersTakeTheirFramesOnTheVirtualClock) {
  for (const auto& [timing, expected] :
       {std::pair{TransferTiming::FullSpeed, VirtualTime{16 * 4 * kFullSpeedFrame}},
        std::pair{TransferTiming::Instant, VirtualTime{0}}}) {
    const VirtualTime frames = expected;  // a lambda cannot capture a binding in clang 14
    PortScript port = GenericUpdateModePort();
    UsbTreeScript tree = SinglePortTree(port);
    tree.timing = timing;
    RunOnMachine([&] {
      std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
      const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
      ASSERT_EQ(pipes.size(), 2u);
      const VirtualTime start = Machine::Current().Sched().Now();
      for (int sent = 0; sent < 16; ++sent) {
        ASSERT_EQ(Write(pdo, pipes[0], std::vector<uint8_t>(4096)), STATUS_SUCCESS);
      }
      EXPECT_EQ(Machine::Current().Sched().Now() - start, frames);
      bus->Shutdown();
    });
  }
}

// A device script naming no registered model makes no device at all, even
// below a hub: a misspelt name must not stand in for another device.
TEST_F(UsbBusTest, AnUnknownModelNameMakesNoBusAndPlugsNothing) {
  RunOnMachine([&] {
    PortScript misspelt = GenericUpdateModePort();
    misspelt.device->model = "genric";
    PortScript hub;
    hub.device = DefaultHub(2);
    hub.hubPorts = {PortScript{}, misspelt};
    EXPECT_EQ(UsbBus::Create(SinglePortTree(hub)), nullptr);

    std::unique_ptr<UsbBus> bus = UsbBus::Create(SinglePortTree(PortScript{}));
    ASSERT_NE(bus, nullptr);
    EXPECT_FALSE(bus->Plug("0/1", misspelt));
    EXPECT_EQ(bus->DeviceAt("0/1"), nullptr);
    EXPECT_TRUE(bus->Plug("0/1", GenericUpdateModePort()));
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
    for (const DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD2, PowerDeviceD0}) {
      SCOPED_TRACE(static_cast<int>(state));
      ASSERT_EQ(kernel::SendIrpAndWait(pdo,
                                       [state](PIO_STACK_LOCATION stack) {
                                         stack->MajorFunction = IRP_MJ_POWER;
                                         stack->MinorFunction = IRP_MN_SET_POWER;
                                         stack->Parameters.Power.Type = DevicePowerState;
                                         stack->Parameters.Power.State.DeviceState = state;
                                       }),
                STATUS_SUCCESS);
      const bool on = state == PowerDeviceD0;
      const size_t before = bus->DeviceAt("0/1")->Requests().size();
      const VirtualTime start = Machine::Current().Sched().Now();
      EXPECT_EQ(Write(pdo, pipes[0], {1, 2}), on ? STATUS_SUCCESS : STATUS_DEVICE_POWERED_OFF);
      EXPECT_EQ(bus->DeviceAt("0/1")->Requests().size() - before, on ? 1u : 0u);
      if (!on) {
        EXPECT_EQ(Machine::Current().Sched().Now(), start);  // failed at once
      }
    }
    bus->Shutdown();
  });
}

// A hub driver pends a device set-power request while it suspends or
// resumes the port and completes it once the port is in its new state: by
// default as the OS family's hub does (at DISPATCH_LEVEL on the NT family, at
// PASSIVE_LEVEL on 98/Me), or as devicePower says. Completed at once, it
// completes in the dispatch routine. Either way the port is suspended once
// D3 has completed and carries transfers again once D0 has.
TEST_F(UsbBusTest, ADevicePowerRequestPendsWhileThePortChangesAsTheOsFamilysHubDoes) {
  struct Case {
    const char* name;
    OsFamily os;
    std::optional<bool> setting;
    bool pended;
    KIRQL completionIrql;
  };
  const Case cases[] = {
      {"XP default", OsFamily::WindowsNt, std::nullopt, true, DISPATCH_LEVEL},
      {"2000 default", OsFamily::Windows2000, std::nullopt, true, DISPATCH_LEVEL},
      {"98 default", OsFamily::Windows98, std::nullopt, true, PASSIVE_LEVEL},
      {"Me default", OsFamily::WindowsMe, std::nullopt, true, PASSIVE_LEVEL},
      {"XP immediate", OsFamily::WindowsNt, false, false, PASSIVE_LEVEL},
      {"98 pended", OsFamily::Windows98, true, true, PASSIVE_LEVEL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MachineConfig config;
    config.os = c.os;
    machine_.reset();
    machine_ = std::make_unique<Machine>(config);
    RunOnMachine([&] {
      UsbTreeScript tree = SinglePortTree(GenericUpdateModePort());
      tree.pendDevicePower = c.setting;
      std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdo = bus->PdoAt("0/1");
      const std::vector<USBD_PIPE_HANDLE> pipes = Configure(pdo);
      ASSERT_EQ(pipes.size(), 2u);
      for (const DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
        struct Done {
          KEVENT event;
          bool completed = false;
          KIRQL irql = 0xFF;  // not completed
        } done;
        KeInitializeEvent(&done.event, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = IRP_MN_SET_POWER;
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State.DeviceState = state;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
              auto* finished = static_cast<Done*>(context);
              finished->completed = true;
              finished->irql = KeGetCurrentIrql();
              KeSetEvent(&finished->event, 0, FALSE);
              return STATUS_MORE_PROCESSING_REQUIRED;
            },
            &done, TRUE, TRUE, TRUE);
        const VirtualTime start = Machine::Current().Sched().Now();
        EXPECT_EQ(PoCallDriver(pdo, irp), c.pended ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(done.completed, !c.pended);
        KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(done.irql, c.completionIrql);
        EXPECT_EQ(Machine::Current().Sched().Now() - start,
                  c.pended ? 30 * kTicksPerMillisecond : 0);
        IoFreeIrp(irp);
        // The port is in the new state once the request has completed.
        EXPECT_EQ(Write(pdo, pipes[0], {1, 2}),
                  state == PowerDeviceD0 ? STATUS_SUCCESS : STATUS_DEVICE_POWERED_OFF);
      }
      bus->Shutdown();
    });
  }
}

// Transfers submitted together on one controller follow one another; on
// two controllers they run side by side.
TEST_F(UsbBusTest, TransfersShareTheirControllersFrames) {
  for (const size_t controllers : {size_t{1}, size_t{2}}) {
    SCOPED_TRACE(controllers);
    UsbTreeScript tree;
    tree.timing = TransferTiming::FullSpeed;
    tree.controllers.resize(controllers);
    for (ControllerScript& controller : tree.controllers) {
      controller.rootPorts = {GenericUpdateModePort()};
    }
    if (controllers == 1) tree.controllers[0].rootPorts.push_back(GenericUpdateModePort());
    RunOnMachine([&] {
      std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
      ASSERT_NE(bus, nullptr);
      PDEVICE_OBJECT pdos[] = {bus->PdoAt("0/1"), bus->PdoAt(controllers == 1 ? "0/2" : "1/1")};
      const std::vector<USBD_PIPE_HANDLE> pipes[] = {Configure(pdos[0]), Configure(pdos[1])};
      ASSERT_EQ(pipes[0].size() + pipes[1].size(), 4u);
      Scheduler& scheduler = Machine::Current().Sched();
      LARGE_INTEGER wait;
      wait.QuadPart = -10 * kTicksPerMillisecond;  // the configuration's frames are over
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      const VirtualTime start = scheduler.Now();
      VirtualTime done[2] = {-1, -1};
      for (int i = 0; i < 2; ++i) {
        scheduler.CreateThread("writer", [&, i] {
          EXPECT_EQ(Write(pdos[i], pipes[i][0], std::vector<uint8_t>(4096)), STATUS_SUCCESS);
          done[i] = scheduler.Now() - start;
        });
      }
      wait.QuadPart = -100 * kTicksPerMillisecond;
      KeDelayExecutionThread(KernelMode, FALSE, &wait);
      EXPECT_EQ(done[0], 4 * kFullSpeedFrame);
      // On one controller the second waits for the first's 4 frames.
      EXPECT_EQ(done[1], (controllers == 1 ? 8 : 4) * kFullSpeedFrame);
      bus->Shutdown();
    });
  }
}

// A descriptor request through the hub is a control transfer: setup, the
// data in the default endpoint's packets (8 bytes), status.
TEST_F(UsbBusTest, AHubDescriptorRequestTakesItsControlFrames) {
  UsbTreeScript tree = SinglePortTree(GenericUpdateModePort());
  tree.timing = TransferTiming::FullSpeed;
  RunOnMachine([&] {
    std::unique_ptr<UsbBus> bus = UsbBus::Create(tree);
    ASSERT_NE(bus, nullptr);
    const uint16_t packet = bus->DeviceAt("0/1")->Script().maxPacketSize0;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kernel::UserOpen("\\\\.\\" + bus->HubNameAt("0"), &file), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(sizeof(USB_DESCRIPTOR_REQUEST) + 18, 0);
    auto* request = reinterpret_cast<USB_DESCRIPTOR_REQUEST*>(buffer.data());
    request->ConnectionIndex = 1;
    request->SetupPacket.wValue = 0x0100;
    request->SetupPacket.wLength = 18;
    const ULONG size = static_cast<ULONG>(buffer.size());
    ULONG returned = 0;
    const VirtualTime start = Machine::Current().Sched().Now();
    ASSERT_EQ(kernel::UserDeviceIoControl(file, IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION,
                                          buffer.data(), size, buffer.data(), size, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(USB_DESCRIPTOR_REQUEST) + 18);
    EXPECT_EQ(Machine::Current().Sched().Now() - start,
              (2 + (18 + packet - 1) / packet) * kFullSpeedFrame);
    kernel::UserClose(file);
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

}  // namespace
