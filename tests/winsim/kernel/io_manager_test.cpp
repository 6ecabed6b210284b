// The I/O manager end to end with the test drivers, and its semantics.
#include <gtest/gtest.h>

#include <cstring>

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

TEST_F(IoManagerTest, DriverServesBufferedControlSynchronouslyAndAsynchronously) {
  RunOnMachine([&] {
    Bring();
    PFILE_OBJECT file;
    ASSERT_EQ(UserOpen("\\\\.\\ECHO", &file), STATUS_SUCCESS);
    for (ULONG code : {ULONG(IOCTL_ECHO_SYNC), ULONG(IOCTL_ECHO_ASYNC)}) {
      const char input[] = "hello";
      char output[16] = {};
      ULONG returned = 99;
      EXPECT_EQ(UserDeviceIoControl(file, code, input, 6, output, sizeof output, &returned),
                STATUS_SUCCESS);
      EXPECT_EQ(returned, code == IOCTL_ECHO_SYNC ? 6u : 6u);
      EXPECT_STREQ(output, "hello");
    }
    // Two pieces on the driver's own IRP, resent from its completion routine.
    ULONG returned = 0;
    EXPECT_EQ(UserDeviceIoControl(file, IOCTL_ECHO_FORWARD, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(UserClose(file), STATUS_SUCCESS);
    TakeDown();
  });
  // Unhandled majors (cleanup) were failed by the default dispatch routine.
  bool cleanupFailed = false;
  for (const Event& event : machine().Log().OfKind(EventKind::IrpCompleted)) {
    if (event.Field("major") == "IRP_MJ_CLEANUP")
      cleanupFailed = event.Field("status") == "0xC0000010";
  }
  EXPECT_TRUE(cleanupFailed);
  EXPECT_EQ(test_drivers::BusRequests(),
            (std::vector<UCHAR>{IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL}));
}

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

TEST_F(IoManagerTest, DeletedDeviceLivesUntilLastCloseAndItsNameIsFreeAtOnce) {
  RunOnMachine([&] {
    Bring();
    PFILE_OBJECT file;
    ASSERT_EQ(UserOpen("\\\\.\\ECHO", &file), STATUS_SUCCESS);
    PDEVICE_OBJECT old = echo_->DeviceObject;
    test_drivers::RemoveEchoDevice(echo_);
    EXPECT_EQ(LookupDevice(u"\\Device\\Echo"), nullptr);
    EXPECT_EQ(DeviceObjectCount(echo_), 1u) << "the object lingers while a file is open";
    // A new device of the same name can be created meanwhile.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Echo");
    PDEVICE_OBJECT fresh;
    ASSERT_EQ(IoCreateDevice(echo_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fresh),
              STATUS_SUCCESS);
    EXPECT_NE(fresh, old);
    EXPECT_EQ(IoCreateDevice(echo_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fresh),
              STATUS_OBJECT_NAME_COLLISION);
    IoDeleteDevice(LookupDevice(u"\\Device\\Echo"));
    const size_t before = machine().Log().OfKind(EventKind::IrpSent).size();
    EXPECT_EQ(UserClose(file), STATUS_SUCCESS);
    // Cleanup and close still reached the echo driver (close released its lock).
    EXPECT_EQ(machine().Log().OfKind(EventKind::IrpSent).size(), before + 2);
    EXPECT_EQ(DeviceObjectCount(echo_), 0u);
    UnloadDriver(echo_);
    IoDeleteDevice(test_drivers::BusPdo());
    UnloadDriver(bus_);
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

TEST_F(IoManagerTest, MoreProcessingRequiredStopsCompletionAndPendingPropagates) {
  RunOnMachine([&] {
    Bring();
    PIRP irp = IoAllocateIrp(2, FALSE);
    struct Seen {
      int calls = 0;
      BOOLEAN pendingReturned = FALSE;
      KEVENT done;
    } seen;
    KeInitializeEvent(&seen.done, NotificationEvent, FALSE);
    IoSetNextIrpStackLocation(irp);  // the caller's own location (level 2)
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_ASYNC;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
          auto* record = static_cast<Seen*>(context);
          ++record->calls;
          record->pendingReturned = done->PendingReturned;
          KeSetEvent(&record->done, 0, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &seen, TRUE, TRUE, TRUE);
    // Sent from level 2 to the bus at level 1, which pends it.
    EXPECT_EQ(IofCallDriver(test_drivers::BusPdo(), irp), STATUS_PENDING);
    KeWaitForSingleObject(&seen.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_TRUE(seen.pendingReturned);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(irp->CurrentLocation, 2) << "completion stopped at the routine's level";
    IoSkipCurrentIrpStackLocation(irp);
    IoFreeIrp(irp);
    TakeDown();
  });
}

}  // namespace
