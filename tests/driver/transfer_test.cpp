// The data path through \\.\QUILLDEV: the envelope's size rule, pieces of
// 4,096 bytes, failing pieces and the pipe reset they leave owed, the read
// code's contract, other control codes, and the mends around removal,
// configuration. (Requests from two threads at once: tests/system/hostile.)
#include <wdm.h>

#include <cstring>
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

std::vector<uint8_t> Envelope(uint32_t count, size_t length) {
  std::vector<uint8_t> envelope(std::max<size_t>(length, 4), 0x5A);
  std::memcpy(envelope.data(), &count, 4);
  const std::vector<uint8_t> payload =
      DriverTest::Payload(static_cast<uint32_t>(std::min<size_t>(count, envelope.size())));
  for (size_t i = 0; i < payload.size() && 4 + i < envelope.size(); ++i) {
    envelope[4 + i] = payload[i];
  }
  return envelope;
}

class TransferTest : public DriverTest, public testing::WithParamInterface<CompletionMode> {
 protected:
  CompletionMode Mode() const { return GetParam(); }
  // Runs body with the device started and \\.\QUILLDEV open.
  void WithOpenDevice(const DeviceScript& device, const std::function<void(HANDLE)>& body) {
    ASSERT_TRUE(RunBus(TreeWith(device, Mode()), [&] {
      HANDLE handle = OpenDevice();
      ASSERT_NE(handle, INVALID_HANDLE_VALUE);
      body(handle);
      EXPECT_TRUE(CloseHandle(handle));
    }));
  }
  // The bytes the device took, transfer by transfer.
  std::vector<std::vector<uint8_t>> TransferData() {
    std::vector<std::vector<uint8_t>> data;
    for (const DeviceRequest& request : Device().Requests()) {
      if (request.kind == RequestKind::Transfer) data.push_back(request.data);
    }
    return data;
  }
};

// ---------------------------------------------------------------- size rule

struct SizeCase {
  const char* name;
  DWORD inLength;
  uint32_t count;
  NTSTATUS status;
  std::vector<uint32_t> pieces;  // transfers the device sees
};

class SizeRuleTest : public TransferTest {};

const SizeCase kSizeCases[] = {
    {"Header13Count5", 13, 5, STATUS_SUCCESS, {5}},
    {"Header12Count5", 12, 5, STATUS_INVALID_BUFFER_SIZE, {}},
    {"ShorterThan8", 7, 0, STATUS_INVALID_BUFFER_SIZE, {}},
    {"Empty", 0, 0, STATUS_INVALID_BUFFER_SIZE, {}},
    {"Exactly8Count0", 8, 0, STATUS_SUCCESS, {0}},
    {"Block264Count256", 264, 256, STATUS_SUCCESS, {256}},
    {"Block264Count257", 264, 257, STATUS_INVALID_BUFFER_SIZE, {}},
    {"Block264Count0", 264, 0, STATUS_SUCCESS, {0}},
    {"Block264Count100", 264, 100, STATUS_SUCCESS, {100}},
    {"CountThatWrapsAround", 8, 0xFFFFFFFF, STATUS_INVALID_BUFFER_SIZE, {}},
    {"Payload4097", 4105, 4097, STATUS_SUCCESS, {4096, 1}},
    {"Payload8192", 8200, 8192, STATUS_SUCCESS, {4096, 4096}},
    {"Payload10000", 10008, 10000, STATUS_SUCCESS, {4096, 4096, 1808}},
};

TEST_P(SizeRuleTest, EveryEdgeOfTheEnvelope) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    for (const SizeCase& size : kSizeCases) {
      SCOPED_TRACE(size.name);
      const size_t transfersBefore = TransferLengths().size();
      const ControlResult result =
          Control(handle, kIoctlWrite, Envelope(size.count, size.inLength), size.inLength, 0);
      EXPECT_EQ(result.ok, NT_SUCCESS(size.status));
      if (!result.ok) {
        EXPECT_EQ(result.error, ErrorFor(size.status));
      }
      EXPECT_EQ(result.returned, 0u);
      const std::vector<uint32_t> all = TransferLengths();
      const std::vector<uint32_t> pieces(all.begin() + static_cast<std::ptrdiff_t>(transfersBefore),
                                         all.end());
      EXPECT_EQ(pieces, size.pieces);
      // The pieces carry the payload, in order, and nothing after it.
      std::vector<uint8_t> sent;
      const auto data = TransferData();
      for (size_t i = transfersBefore; i < data.size(); ++i) {
        sent.insert(sent.end(), data[i].begin(), data[i].end());
      }
      if (NT_SUCCESS(size.status)) {
        EXPECT_EQ(sent, Payload(size.count));
      }
    }
  });
}

TEST_P(TransferTest, OtherControlCodesSucceedAndDoNothing) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    for (DWORD code : {DWORD{0x222008}, DWORD{0x220000}, DWORD{0x22200C}, DWORD{0x2D0C10}}) {
      const ControlResult result = Control(handle, code, Envelope(5, 13), 13, 13);
      EXPECT_TRUE(result.ok) << std::hex << code;
      EXPECT_EQ(result.returned, 0u);
    }
    EXPECT_TRUE(TransferLengths().empty());
  });
}

TEST_P(TransferTest, TheReadCodeChecksBothBuffersAndReturnsTheEnvelopeOfWhatArrived) {
  WithOpenDevice(UpdateModeDevice(), [&](HANDLE handle) {
    // The output buffer must meet the size rule as well.
    for (DWORD outLength : {DWORD{0}, DWORD{7}, DWORD{15}}) {
      const ControlResult result = Control(handle, kIoctlRead, Envelope(8, 16), 16, outLength);
      EXPECT_FALSE(result.ok) << outLength;
      EXPECT_EQ(result.error, ErrorFor(STATUS_INVALID_BUFFER_SIZE));
    }
    EXPECT_FALSE(Control(handle, kIoctlRead, Envelope(8, 15), 15, 16).ok);
    EXPECT_TRUE(TransferLengths().empty());
    // The device has nothing to send: a short (empty) transfer is success,
    // and the envelope comes back with count 0.
    std::vector<uint8_t> out;
    const ControlResult result = Control(handle, kIoctlRead, Envelope(8, 16), 16, 16, &out);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.returned, 4u);
    uint32_t count = 0xFFFF;
    std::memcpy(&count, out.data(), 4);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{8});
    EXPECT_EQ(TransferEndpoints(), std::vector<uint8_t>{0x82});
  });
}

// ---------------------------------------------------------------- failures

// A failed transfer leaves its pipe owed a reset, taken before the next
// write; a reset that fails leaves the endpoint halted and fails that write
// only, with the reset still owed. The failing piece is the second where it
// must reach OnWriteComplete in both modes (inline, inside the
// resubmission); a failure at submission is reset at once.
struct WriteStep {
  uint32_t count;
  NTSTATUS status;
  size_t resets;  // pipe resets the device has seen after the write
};

struct FailureCase {
  const char* name;
  std::function<void(Faults&)> script;
  std::vector<WriteStep> writes;
  std::optional<std::vector<uint32_t>> lengths;  // transfers the device saw at the end
};

class FailureTest : public TransferTest {};

const FailureCase kFailures[] = {
    {"SecondPieceFails",
     [](Faults& f) {
       f.failTransfers = {{2, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
     },
     {{10000, STATUS_DEVICE_DATA_ERROR, 0}, {5, STATUS_SUCCESS, 1}, {5, STATUS_SUCCESS, 1}},
     std::vector<uint32_t>{4096, 4096, 5, 5}},  // the third piece not sent
    {"OwedResetFails",
     [](Faults& f) {
       f.failTransfers = {{2, {}}};
       f.failResetPipes = {1};
     },
     {{5000, STATUS_UNSUCCESSFUL, 0},
      {5, STATUS_UNSUCCESSFUL, 1},
      {5, STATUS_SUCCESS, 2},
      {5, STATUS_SUCCESS, 2}},
     std::vector<uint32_t>{4096, 904, 5, 5}},
    {"ImmediateSubmissionFailure",
     [](Faults& f) {
       f.failSubmissions = {{1, {}}};
     },
     {{5, STATUS_UNSUCCESSFUL, 1}, {5, STATUS_SUCCESS, 2}},
     {}},
    // The reset after it fails too: the submission's status stands.
    {"ImmediateFailureWhoseResetFails",
     [](Faults& f) {
       f.failSubmissions = {{1, {USBD_STATUS_CRC, STATUS_DEVICE_DATA_ERROR}}};
       f.failResetPipes = {1};
     },
     {{5, STATUS_DEVICE_DATA_ERROR, 1}, {5, STATUS_SUCCESS, 2}},
     {}},
};

TEST_P(FailureTest, FailsThatWriteAndResetsThePipeBeforeTheNext) {
  for (const FailureCase& failure : kFailures) {
    SCOPED_TRACE(failure.name);
    FreshMachine();
    DeviceScript device = UpdateModeDevice();
    failure.script(device.faults);
    WithOpenDevice(device, [&](HANDLE handle) {
      for (const WriteStep& step : failure.writes) {
        const ControlResult write = Write(handle, step.count);
        EXPECT_EQ(write.ok, NT_SUCCESS(step.status)) << step.count;
        if (!write.ok) {
          EXPECT_EQ(write.error, ErrorFor(step.status));
        }
        EXPECT_EQ(ResetCount(), step.resets);
      }
      if (failure.lengths) {
        EXPECT_EQ(TransferLengths(), *failure.lengths);
      }
      for (const DeviceRequest& request : Device().Requests()) {
        if (request.kind == RequestKind::ResetPipe) {
          EXPECT_EQ(request.endpoint, 0x01);
        }
      }
    });
  }
}

// ---------------------------------------------------------------- mends

// Surprise removal during a transfer: the transfer ends, later requests fail
// with STATUS_DELETE_PENDING, and the open handle holds IRP_MN_REMOVE_DEVICE
// back: the device object stays attached until the handle is closed.
TEST_P(TransferTest, SurpriseRemovalEndsATransferAndTheOpenHandleHoldsTheRemovalBack) {
  DeviceScript device = UpdateModeDevice();
  device.faults.neverCompleteTransfers = {1};
  ASSERT_TRUE(RunBus(TreeWith(device, Mode()), [&] {
    HANDLE handle = OpenDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ControlResult held;
    bool writerDone = false;
    machine().Sched().CreateThread("writer", [&] {
      held = Write(handle, 10000);
      writerDone = true;
    });
    LARGE_INTEGER wait;
    wait.QuadPart = -100 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_FALSE(writerDone);
    PDEVICE_OBJECT quill = QuillDevice();
    ASSERT_NE(quill, nullptr);

    EXPECT_TRUE(bus().Unplug(kPort));
    pnp::WaitIdle();
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    ASSERT_TRUE(writerDone);
    EXPECT_FALSE(held.ok);
    EXPECT_EQ(held.error, ErrorFor(STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{4096});  // no further piece
    // Removal has begun: the link is gone, the device object stays for the
    // open handle.
    EXPECT_EQ(QuillDevice(), quill);
    EXPECT_EQ(kernel::LookupDevice(u"\\DosDevices\\QUILLDEV"), nullptr);

    // Through the open handle: the transfer codes fail first thing, other
    // codes still succeed.
    for (DWORD code : {kIoctlWrite, kIoctlRead}) {
      const ControlResult late = Control(handle, code, Envelope(5, 13), 3, 3);  // bad envelope too
      EXPECT_FALSE(late.ok);
      EXPECT_EQ(late.error, ErrorFor(STATUS_DELETE_PENDING));
    }
    EXPECT_TRUE(Control(handle, 0x222008, Envelope(5, 13), 13, 0).ok);
    EXPECT_EQ(kernel::SendIrpAndWait(quill,
                                     [](PIO_STACK_LOCATION stack) {
                                       stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                                       stack->Parameters.DeviceIoControl.IoControlCode =
                                           IOCTL_INTERNAL_USB_SUBMIT_URB;
                                     }),
              STATUS_DELETE_PENDING);
    // A second surprise removal finds the work done.
    EXPECT_EQ(kernel::SendIrpAndWait(quill,
                                     [](PIO_STACK_LOCATION stack) {
                                       stack->MajorFunction = IRP_MJ_PNP;
                                       stack->MinorFunction = IRP_MN_SURPRISE_REMOVAL;
                                     }),
              STATUS_SUCCESS);
    EXPECT_EQ(QuillDevice(), quill) << "IRP_MN_REMOVE_DEVICE waits for the handle";

    EXPECT_TRUE(CloseHandle(handle));
    pnp::WaitIdle();
    EXPECT_EQ(QuillDevice(), nullptr) << "deleted at IRP_MN_REMOVE_DEVICE";
  }));
  std::vector<std::string> removal;
  for (const Event& event : machine().Log().OfKind(EventKind::Pnp)) {
    if (event.Field("request").find("REMOVE") != std::string::npos ||
        event.Field("request").find("SURPRISE") != std::string::npos)
      removal.push_back(event.Field("request") + " @" + event.Field("driver"));
  }
  EXPECT_EQ(removal, (std::vector<std::string>{"IRP_MN_SURPRISE_REMOVAL @quillfw",
                                               "IRP_MN_REMOVE_DEVICE waits for 1 open handle(s) @",
                                               "IRP_MN_REMOVE_DEVICE @quillfw"}));
}

TEST_P(TransferTest, AWriteWaitingForTheLockWhenRemovalComesFailsDeletePending) {
  DeviceScript device = UpdateModeDevice();
  device.faults.neverCompleteTransfers = {1};
  WithOpenDevice(device, [&](HANDLE handle) {
    ControlResult first, second;
    int done = 0;
    machine().Sched().CreateThread("first", [&] {
      first = Write(handle, 5);
      ++done;
    });
    LARGE_INTEGER wait;
    wait.QuadPart = -100 * kTicksPerMillisecond;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    machine().Sched().CreateThread("second", [&] {
      second = Write(handle, 5, 9);
      ++done;
    });
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    EXPECT_EQ(done, 0);  // the second waits for the first
    EXPECT_TRUE(bus().Unplug(kPort));
    pnp::WaitIdle();
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
    ASSERT_EQ(done, 2);
    EXPECT_EQ(first.error, ErrorFor(STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(second.error, ErrorFor(STATUS_DELETE_PENDING));
    EXPECT_EQ(TransferLengths(), std::vector<uint32_t>{5});
  });
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransferTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));
INSTANTIATE_TEST_SUITE_P(BothModes, SizeRuleTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));
INSTANTIATE_TEST_SUITE_P(BothModes, FailureTest,
                         testing::Values(CompletionMode::Asynchronous, CompletionMode::Inline));

// OnWriteComplete on its own: a piece that ends after removal has begun
// sends nothing further and ends the transfer with STATUS_DELETE_PENDING.
// No sequence from outside reaches it (a piece in flight at a surprise
// removal fails), so this case builds the extension itself.
TEST_F(DriverTest, APieceThatEndsAfterRemovalBeganSendsNoFurtherPiece) {
  ASSERT_TRUE(machine().Run([&] {
    DEVICE_EXTENSION extension = {};
    extension.DeviceState = FwMakeState(FwSurpriseRemoved, FwPowered);
    TransferContext context = {};
    context.Extension = &extension;
    context.Remaining = 100;
    context.LowerDevice = nullptr;  // a further piece would have nowhere to go
    context.Urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 4096;
    KeInitializeEvent(&context.Done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    EXPECT_EQ(OnWriteComplete(nullptr, irp, &context), STATUS_MORE_PROCESSING_REQUIRED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(context.Remaining, 100u);
    EXPECT_EQ(context.Transferred, 4096u);
    EXPECT_EQ(extension.OutErrors, 1);
    EXPECT_EQ(KeReadStateEvent(&context.Done), 1);
    IoFreeIrp(irp);
  }));
}

}  // namespace
}  // namespace driver_tests
