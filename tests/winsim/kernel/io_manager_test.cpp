// The I/O manager end to end with the test drivers, and its semantics.
#include <gtest/gtest.h>

#include "kernel/kernel.h"
#include "kernel/kernel_state.h"
#include "sim_machine.h"
#include "test_drivers.h"

using namespace winsim;
using namespace winsim::kernel;
using test_drivers::Fault;

namespace {

class IoManagerTest : public testing_support::SimMachineTest {
 protected:
  void SetUp() override {
    SimMachineTest::SetUp();
    test_drivers::echoConfig = {};
  }
  // Loads the bus and the echo driver and adds the echo device on the PDO.
  void Bring() {
    NTSTATUS status;
    bus_ = LoadDriver("TestBus", test_drivers::BusDriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    echo_ = LoadDriver("Echo", test_drivers::EchoDriverEntry, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(CallAddDevice(echo_, test_drivers::BusPdo()), STATUS_SUCCESS);
  }
  void TakeDown() {
    test_drivers::RemoveEchoDevice(echo_);
    UnloadDriver(echo_);
    IoDeleteDevice(test_drivers::BusPdo());
    UnloadDriver(bus_);
  }
  PDRIVER_OBJECT bus_ = nullptr;
  PDRIVER_OBJECT echo_ = nullptr;
};

TEST_F(IoManagerTest, OpenFailsForUnknownNamesAndSecondOpenOfExclusiveDevice) {
  RunOnMachine([&] {
    PFILE_OBJECT file;
    EXPECT_EQ(UserOpen("\\\\.\\NOPE", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    Bring();
    PFILE_OBJECT first, second;
    ASSERT_EQ(UserOpen("\\\\.\\echo", &first), STATUS_SUCCESS);
    EXPECT_EQ(UserOpen("\\??\\ECHO", &second), STATUS_SUCCESS) << "no share check for devices";
    UserClose(second);
    echo_->DeviceObject->Flags |= DO_EXCLUSIVE;
    EXPECT_EQ(UserOpen("\\\\.\\ECHO", &second), STATUS_ACCESS_DENIED);
    UserClose(first);
    TakeDown();
  });
}

// A three-driver stack whose completion routines record the order.
std::vector<std::string> order;
NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(
      irp,
      [](PDEVICE_OBJECT self, PIRP done, PVOID) -> NTSTATUS {
        order.push_back(DriverName(self->DriverObject));
        if (done->PendingReturned) IoMarkIrpPending(done);
        return STATUS_SUCCESS;
      },
      nullptr, TRUE, TRUE, TRUE);
  return IoCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
}

NTSTATUS NTAPI AddLayer(PDRIVER_OBJECT driver, PDEVICE_OBJECT below) {
  PDEVICE_OBJECT device;
  IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) =
      IoAttachDeviceToDeviceStack(device, below);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LayerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
  driver->DriverExtension->AddDevice = AddLayer;
  return STATUS_SUCCESS;
}

// A threaded IRP that fails at once, never pended, is finished without its
// status block or event (the caller has IoCallDriver's result).
TEST_F(IoManagerTest, CompletionRunsUpTheStackAndASynchronousFailureLeavesTheCallerAlone) {
  order.clear();
  RunOnMachine([&] {
    Bring();
    PDRIVER_OBJECT lowerLayer = LoadDriver("Lower", LayerEntry, nullptr);
    PDRIVER_OBJECT upperLayer = LoadDriver("Upper", LayerEntry, nullptr);
    CallAddDevice(lowerLayer, test_drivers::BusPdo());
    CallAddDevice(upperLayer, test_drivers::BusPdo());
    PDEVICE_OBJECT top = TopOfStack(test_drivers::BusPdo());
    EXPECT_EQ(top->StackSize, 4) << "bus, echo, lower, upper";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_ALERTED;  // untouched
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_BUS_ASYNC, top, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    // The echo driver has no internal-control routine: it fails the request.
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_ALERTED);
    EXPECT_EQ(order, (std::vector<std::string>{"Lower", "Upper"}));
    EXPECT_TRUE(State().irps.empty()) << "the threaded IRP was freed";
    for (PDRIVER_OBJECT layer : {upperLayer, lowerLayer}) {
      PDEVICE_OBJECT device = layer->DeviceObject;
      IoDetachDevice(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension));
      IoDeleteDevice(device);
      UnloadDriver(layer);
    }
    TakeDown();
  });
}

// So a caller that waits for the event whatever IoCallDriver returned hangs,
// and the scheduler says where.
TEST_F(IoManagerTest, WaitingForASynchronouslyFailedThreadedIrpHangs) {
  machine().Verify().Expect(rule::kHang);
  const bool completed = machine().Run([&] {
    Bring();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PDEVICE_OBJECT top = TopOfStack(test_drivers::BusPdo());
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_BUS_ASYNC, top, nullptr, 0, nullptr, 0, TRUE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(top, irp);
    RoutineScope scope(nullptr, "WaitsRegardless");
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ADD_FAILURE() << "the wait returned";
  });
  EXPECT_FALSE(completed);
  const auto hangs = machine().Log().OfKind(EventKind::Hang);
  ASSERT_EQ(hangs.size(), 1u);
  EXPECT_NE(hangs[0].text.find("WaitsRegardless"), std::string::npos) << hangs[0].text;
}

// A bus driver deletes its PDO in IRP_MN_REMOVE_DEVICE before the function
// driver above detaches: the attachment keeps the lower object until then.
TEST_F(IoManagerTest, DeletedLowerDeviceLivesUntilTheDeviceAboveDetaches) {
  RunOnMachine([&] {
    Bring();
    PDRIVER_OBJECT upperLayer = LoadDriver("Upper", LayerEntry, nullptr);
    CallAddDevice(upperLayer, test_drivers::BusPdo());
    PDEVICE_OBJECT upper = upperLayer->DeviceObject;
    PDEVICE_OBJECT echo = *static_cast<PDEVICE_OBJECT*>(upper->DeviceExtension);
    ASSERT_EQ(echo, echo_->DeviceObject);
    test_drivers::RemoveEchoDevice(echo_);
    EXPECT_EQ(DeviceObjectCount(echo_), 1u) << "held by the device attached above";
    EXPECT_EQ(echo->AttachedDevice, upper);
    IoDetachDevice(echo);
    EXPECT_EQ(DeviceObjectCount(echo_), 0u) << "freed by the detach";
    IoDeleteDevice(upper);
    UnloadDriver(upperLayer);
    UnloadDriver(echo_);
    IoDeleteDevice(test_drivers::BusPdo());
    UnloadDriver(bus_);
  });
}

}  // namespace
