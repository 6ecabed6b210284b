// quillfw where Windows is harsh: a device that never finishes a transfer
// during a power-down, a stop and a surprise removal; queries that wait for
// the data path or fail; a failed wake; a stopped device asleep; removal
// waiting for the remove lock; WMI passed down; device power requests that
// the bus driver pends; assertions without a kernel debugger.
#include <wdm.h>

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

void Delay(int milliseconds) {
  LARGE_INTEGER wait;
  wait.QuadPart = -static_cast<LONGLONG>(milliseconds) * kTicksPerMillisecond;
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
}

NTSTATUS SendPnp(UCHAR minor) {
  return kernel::SendIrpAndWait(QuillDevice(), [minor](PIO_STACK_LOCATION stack) {
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
  });
}

// One write sent from a thread of its own, watched from the test's thread.
struct Writer {
  ControlResult result;
  bool done = false;
};

void StartWriter(DriverTest& test, HANDLE handle, Writer& writer, uint32_t count = 5) {
  test.machine().Sched().CreateThread("writer", [&test, handle, &writer, count] {
    writer.result = test.Write(handle, count);
    writer.done = true;
  });
}

class StateTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {
 protected:
  // pendDevicePower: as the bus does by default (it pends), or as set.
  void WithOpenDevice(const DeviceScript& device, const std::function<void(HANDLE)>& body,
                      std::optional<bool> pendDevicePower = std::nullopt) {
    UsbTreeScript tree = TreeWith(device, GetParam());
    tree.pendDevicePower = pendDevicePower;
    ASSERT_TRUE(RunBus(tree, [&] {
      HANDLE handle = OpenDevice();
      ASSERT_NE(handle, INVALID_HANDLE_VALUE);
      body(handle);
      CloseHandle(handle);
    }));
  }
};

DeviceScript SilentDevice() {
  DeviceScript device = UpdateModeDevice();
  device.faults.neverCompleteTransfers = {1};  // keeps answering NAK
  return device;
}

// A transfer that the device never finishes: the sleep, the stop and the
// surprise removal each go on after a bounded wait, cancelling the driver's
// own transfer IRP; the write fails, and the device serves the next write
// (after the wake, the restart) with the pipe reset the failure owes.
enum class Harsh { Sleep, Stop, SurpriseRemoval };

struct SilentCase {
  const char* name;
  Harsh harsh;
};

class SilentDeviceTest
    : public DriverTest,
      public testing::WithParamInterface<std::tuple<SilentCase, CompletionMode>> {};

TEST_P(SilentDeviceTest, TheTransferIsCancelledAfterABoundedWait) {
  const SilentCase& c = std::get<0>(GetParam());
  ASSERT_TRUE(RunBus(TreeWith(SilentDevice(), std::get<1>(GetParam())), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Writer writer;
    StartWriter(*this, handle, writer);
    Delay(100);
    ASSERT_FALSE(writer.done);
    const VirtualTime before = machine().Sched().Now();
    switch (c.harsh) {
      case Harsh::Sleep:
        ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        break;
      case Harsh::Stop:
        // Without a query first, as Windows 98 may send it. (A stop query
        // fails while the transfer does not end: below.)
        EXPECT_TRUE(NT_SUCCESS(SendPnp(IRP_MN_STOP_DEVICE)));
        break;
      case Harsh::SurpriseRemoval:
        // The device stays on the bus (its driver reported it failed, say):
        // nothing below ends the transfer but the cancel.
        pnp::DeviceRemoved(UpdateModeNode(), true);
        pnp::WaitIdle();
        break;
    }
    // The wait was bounded: about a second, not the machine's patience.
    EXPECT_LT(machine().Sched().Now() - before, 2000 * kTicksPerMillisecond);
    Delay(10);
    ASSERT_TRUE(writer.done);
    EXPECT_FALSE(writer.result.ok);
    EXPECT_EQ(writer.result.error, ErrorFor(STATUS_CANCELLED));
    if (c.harsh == Harsh::Sleep) pnp::SystemWake();
    if (c.harsh == Harsh::Stop) {
      EXPECT_TRUE(NT_SUCCESS(SendPnp(IRP_MN_START_DEVICE)));
    }
    const ControlResult next = Write(handle, 7);
    if (c.harsh == Harsh::SurpriseRemoval) {
      EXPECT_EQ(next.error, ErrorFor(STATUS_DELETE_PENDING));
    } else {
      EXPECT_TRUE(next.ok) << next.error;
      EXPECT_EQ(ResetCount(), 1u);  // owed by the cancelled transfer
    }
    CloseHandle(handle);
  }));
}

INSTANTIATE_TEST_SUITE_P(
    Harsh, SilentDeviceTest,
    testing::Combine(testing::Values(SilentCase{"Sleep", Harsh::Sleep},
                                     SilentCase{"Stop", Harsh::Stop},
                                     SilentCase{"SurpriseRemoval", Harsh::SurpriseRemoval}),
                     testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline)),
    [](const auto& p) {
      return std::string(std::get<0>(p.param).name) +
             (std::get<1>(p.param) == CompletionMode::Inline ? "Inline" : "Async");
    });

// A stop query waits for the request under way, then holds new requests
// until the query is cancelled; they go on then.
TEST_P(StateTest, AStopQueryHoldsRequestsUntilItIsCancelled) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Writer writer;
    StartWriter(*this, handle, writer);
    Delay(100);
    EXPECT_FALSE(writer.done);
    EXPECT_TRUE(TransferLengths().empty());
    SendPnp(IRP_MN_CANCEL_STOP_DEVICE);
    Delay(10);
    ASSERT_TRUE(writer.done);
    EXPECT_TRUE(writer.result.ok);
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{5});
  });
}

// A removal query fails when the request under way does not end in time;
// the requests then go on as before.
TEST_P(StateTest, ARemovalQueryFailsWhileATransferDoesNotEnd) {
  WithOpenDevice(SilentDevice(), [&](HANDLE handle) {
    Writer writer;
    StartWriter(*this, handle, writer);
    Delay(100);
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(writer.done);
    EXPECT_TRUE(bus().Unplug(kPort));  // the device leaves: the transfer ends
    pnp::WaitIdle();
    Delay(10);
    EXPECT_TRUE(writer.done);
  });
}

// A stopped device that sleeps: a request fails at once, as a stopped
// device's requests do, instead of waiting for a D0 that nothing will bring.
TEST_P(StateTest, AStoppedDeviceAsleepFailsRequestsAtOnce) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    EXPECT_EQ(SendPnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    SendPnp(IRP_MN_STOP_DEVICE);
    ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    Writer writer;
    StartWriter(*this, handle, writer);
    Delay(100);
    ASSERT_TRUE(writer.done);
    EXPECT_EQ(writer.result.error, ErrorFor(STATUS_INVALID_DEVICE_STATE));
    pnp::SystemWake();
    Delay(10);
    // Started again for the removal at the end of the run.
    SendPnp(IRP_MN_START_DEVICE);
  });
}

// A wake whose device request cannot even be asked for: the request held
// for D0 fails, and so does every later one, until a D0 request succeeds.
// Sleeps, holds a write, wakes with beforeWake's failure in place: the held
// write and a later one fail, and nothing reaches the suspended port.
void ExpectTheHeldAndLaterRequestsFailAtTheWake(DriverTest& test, HANDLE handle,
                                                void (*beforeWake)()) {
  ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
  Writer writer;
  StartWriter(test, handle, writer);
  Delay(100);
  EXPECT_FALSE(writer.done);
  beforeWake();
  pnp::SystemWake();
  Delay(10);
  ASSERT_TRUE(writer.done);
  EXPECT_EQ(writer.result.error, ErrorFor(STATUS_DEVICE_POWERED_OFF));
  EXPECT_EQ(test.Write(handle, 5).error, ErrorFor(STATUS_DEVICE_POWERED_OFF));
  EXPECT_TRUE(test.TransferLengths().empty());
}

TEST_P(StateTest, AFailedWakeFailsTheHeldAndTheLaterRequests) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    ExpectTheHeldAndLaterRequestsFailAtTheWake(
        *this, handle, [] { kernel::ScriptPowerRequestFailure(STATUS_INSUFFICIENT_RESOURCES); });
    // The next sleep and wake bring the device back.
    ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
    pnp::SystemWake();
    EXPECT_TRUE(Write(handle, 5).ok);
  });
}

// A device that sleeps and then fails its D0 request: the held request and
// the later ones fail, as after a wake that could not be asked for; nothing
// goes to the suspended port.
TEST_P(StateTest, ADeviceThatFailsToWakeFailsTheHeldAndTheLaterRequests) {
  DeviceScript device = UpdateModeDevice();
  device.faults.failDeviceWake = STATUS_UNSUCCESSFUL;
  WithOpenDevice(device, [&](HANDLE handle) {
    ExpectTheHeldAndLaterRequestsFailAtTheWake(*this, handle, [] {});
  });
}

// A bus driver may also complete device set-power requests at once (the
// other tests have them pended, the default): a write held across the sleep
// still goes out after the wake, and only then.
TEST_P(StateTest, DevicePowerRequestsCompletedAtOnceServeTheHeldWrite) {
  WithOpenDevice(
      UpdateModeDevice(),
      [&](HANDLE handle) {
        ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
        Writer writer;
        StartWriter(*this, handle, writer, 9000);
        Delay(100);
        EXPECT_FALSE(writer.done);
        pnp::SystemWake();
        Delay(100);
        ASSERT_TRUE(writer.done);
        EXPECT_TRUE(writer.result.ok) << writer.result.error;
        EXPECT_EQ(TransferLengths(), (std::vector<uint32_t>{4096, 4096, 808}));
      },
      /*pendDevicePower=*/false);
}

// A device power-down asked for while the bus still pends the wake before it
// waits its turn (the power manager sends it once the driver has finished
// the wake): the held write goes out in D0 and ends whole, before the port
// is suspended again.
TEST_P(StateTest, APowerDownWaitsForThePendedWakeBeforeIt) {
  WithOpenDevice(
      UpdateModeDevice(),
      [&](HANDLE handle) {
        PDEVICE_OBJECT quill = QuillDevice();
        struct PowerRequest {
          KEVENT done;
          NTSTATUS status = STATUS_PENDING;
        };
        auto request = [&](PowerRequest& power, DEVICE_POWER_STATE state) {
          KeInitializeEvent(&power.done, NotificationEvent, FALSE);
          machine().Sched().CreateThread("power", [quill, &power, state] {
            POWER_STATE wanted;
            wanted.DeviceState = state;
            PoRequestPowerIrp(
                quill, IRP_MN_SET_POWER, wanted,
                [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io) {
                  auto* p = static_cast<PowerRequest*>(context);
                  p->status = io->Status;
                  KeSetEvent(&p->done, IO_NO_INCREMENT, FALSE);
                },
                &power, nullptr);
          });
        };
        auto wait = [](PowerRequest& power) {
          KeWaitForSingleObject(&power.done, Executive, KernelMode, FALSE, nullptr);
          return power.status;
        };
        PowerRequest idle, wake, again, last;
        request(idle, PowerDeviceD3);
        EXPECT_EQ(wait(idle), STATUS_SUCCESS);
        Writer writer;
        StartWriter(*this, handle, writer, 9000);
        Delay(10);
        EXPECT_FALSE(writer.done);
        request(wake, PowerDeviceD0);
        Delay(1);  // the bus has the wake
        request(again, PowerDeviceD3);
        EXPECT_EQ(wait(wake), STATUS_SUCCESS);
        EXPECT_EQ(wait(again), STATUS_SUCCESS);
        // In D3 a request waits for D0 again.
        Writer later;
        StartWriter(*this, handle, later, 7);
        Delay(10);
        EXPECT_FALSE(later.done);
        request(last, PowerDeviceD0);
        EXPECT_EQ(wait(last), STATUS_SUCCESS);
        Delay(100);
        ASSERT_TRUE(writer.done);
        EXPECT_TRUE(writer.result.ok) << writer.result.error;
        ASSERT_TRUE(later.done);
        EXPECT_TRUE(later.result.ok) << later.result.error;
        std::vector<uint32_t> delivered;
        for (const DeviceRequest& r : Device().Requests()) {
          if (r.kind == RequestKind::Transfer && NT_SUCCESS(r.status)) {
            delivered.push_back(r.requestedLength);
          }
        }
        EXPECT_EQ(delivered, (std::vector<uint32_t>{4096, 4096, 808, 7}));
      },
      /*pendDevicePower=*/true);
}

// WMI requests go to the bus driver, which answers for the device.
TEST_P(StateTest, SystemControlIsPassedDown) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE) {
    EXPECT_EQ(kernel::SendIrpAndWait(
                  QuillDevice(),
                  [](PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL; }),
              STATUS_NOT_SUPPORTED);
  });
}

// IRP_MN_REMOVE_DEVICE waits until no open holds the device: the device
// object stays until the handle is closed.
TEST_P(StateTest, TheRemovalWaitsForTheHoldersOfTheRemoveLock) {
  ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), GetParam()), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    PDEVICE_OBJECT quill = QuillDevice();
    bool removed = false;
    machine().Sched().CreateThread("removal", [&] {
      SendPnp(IRP_MN_REMOVE_DEVICE);
      removed = true;
    });
    Delay(100);
    EXPECT_FALSE(removed);
    EXPECT_EQ(QuillDevice(), quill);
    EXPECT_FALSE(Write(handle, 5).ok);  // removal has begun
    CloseHandle(handle);
    Delay(10);
    EXPECT_TRUE(removed);
    EXPECT_EQ(QuillDevice(), nullptr);
  }));
}

INSTANTIATE_TEST_SUITE_P(BothModes, StateTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

// quillfw calls nothing that a family the design names lacks (winsim's
// verifier reports such a call: the driver would not have loaded there):
// arrival, a write, a sleep and wake, a stop and restart, the removal.
TEST_F(DriverTest, EveryFamilyHasEveryRoutineTheDriverCalls) {
  for (OsFamily os : {OsFamily::Windows98, OsFamily::Windows98SE, OsFamily::WindowsMe,
                      OsFamily::Windows2000, OsFamily::WindowsNt}) {
    SCOPED_TRACE(static_cast<int>(os));
    FreshMachine(os);
    ASSERT_TRUE(RunBus(TreeWith(UpdateModeDevice(), CompletionMode::Asynchronous), [&] {
      HANDLE handle = OpenDevice();
      ASSERT_NE(handle, INVALID_HANDLE_VALUE);
      EXPECT_TRUE(Write(handle, 300).ok);
      ASSERT_TRUE(pnp::SystemSleep(PowerSystemSleeping3));
      pnp::SystemWake();
      EXPECT_TRUE(Write(handle, 5).ok);
      CloseHandle(handle);
      pnp::StopAndRestart(UpdateModeNode());
      pnp::WaitIdle();
    }));
    EXPECT_FALSE(machine().Verify().Has(rule::kImportMissing));
  }
}

// An assertion of the driver's own traces its line and breaks only where a
// kernel debugger is enabled (without one, a breakpoint is a bug check).
// The pageable-code check at DISPATCH_LEVEL is such an assertion.
TEST_F(DriverTest, AnAssertionBreaksOnlyWithAKernelDebugger) {
  for (bool debugger : {false, true}) {
    SCOPED_TRACE(debugger);
    FreshMachine();
    machine().SetKernelDebugger(debugger);
    if (debugger) machine().Verify().Expect(rule::kDebugBreak);
    Win98 = FALSE;  // as DriverEntry sets it on the NT family
    ASSERT_TRUE(machine().Run([] {
      // A device object whose extension has nothing below it: the routine
      // sends nothing.
      DEVICE_EXTENSION extension = {};
      DEVICE_OBJECT device = {};
      device.DeviceExtension = &extension;
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      FWSubmitUrbSynch(&device, nullptr);
      KeLowerIrql(old);
    }));
    EXPECT_EQ(machine().Verify().Has(rule::kDebugBreak), debugger);
    const Lines trace = Trace();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_EQ(trace[0], "EX: Pageable code called at IRQL 2");
    for (size_t i = 1; i < trace.size(); ++i) {
      EXPECT_EQ(trace[i].rfind("Assertion failure in readwrite, line ", 0), 0u) << trace[i];
    }
  }
}

}  // namespace
}  // namespace driver_tests
