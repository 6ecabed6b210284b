// CreateFileA, DeviceIoControl and CloseHandle against a real driver.
#include "kernel32_machine.h"

#include <ntstatus.h>

#include "ground/event_recording.h"

namespace k32test {
namespace {

using DeviceFileTest = Kernel32MachineTest;

HANDLE OpenTestDevice(const char* name = "\\\\.\\K32TEST", DWORD share = 0) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, share, NULL, OPEN_EXISTING, 0, NULL);
}

TEST_F(DeviceFileTest, AWarningFailsTheCallButReturnsTheData) {
  ASSERT_TRUE(RunApp([] {
    const HANDLE device = OpenTestDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    NTSTATUS status = STATUS_BUFFER_OVERFLOW;
    BYTE out[8];
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, kIoctlComplete, &status, sizeof(status), out, sizeof(out),
                                 &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(returned, sizeof(out));
    CloseHandle(device);
  }));
}

// The system buffer is not zeroed: what the driver claims but never wrote
// reaches the caller as the poison pattern, and the verifier names it.
TEST_F(DeviceFileTest, BytesTheDriverNeverWroteArePoisonAndAFinding) {
  machine_.Verify().Expect(winsim::rule::kSystemBufferUnwritten);
  ASSERT_TRUE(RunApp([] {
    const HANDLE device = OpenTestDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE in[2] = {0x11, 0x22};
    BYTE out[8] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, kIoctlClaimUnwritten, in, sizeof(in), out, sizeof(out),
                                &returned, NULL));
    EXPECT_EQ(returned, sizeof(out));
    const BYTE expected[8] = {0x11, 0x22, 0xF0, 0x0D, 0xBA, 0xAD, 0xF0, 0x0D};
    EXPECT_EQ(0, memcmp(out, expected, sizeof(out)));
    // A driver that writes what it returns is no finding.
    ASSERT_TRUE(
        DeviceIoControl(device, kIoctlEcho, in, sizeof(in), out, sizeof(out), &returned, NULL));
    CloseHandle(device);
  }));
  ASSERT_EQ(FindingsOf(winsim::rule::kSystemBufferUnwritten).size(), 1u);
  EXPECT_NE(FindingsOf(winsim::rule::kSystemBufferUnwritten)[0].detail.find("from offset 2"),
            std::string::npos);
  EXPECT_EQ(FindingsOf(winsim::rule::kSystemBufferUnwritten)[0].place,
            "K32Test!IRP_MJ_DEVICE_CONTROL");
}

// A fuzz target turns the event log off: the calls and the verifier work as
// before, only nothing is logged.
TEST_F(DeviceFileTest, WithTheLogOffCallsFailAsBeforeAndFindingsAreKept) {
  struct LogOff {
    LogOff() { winsim::SetEventRecording(false); }
    ~LogOff() { winsim::SetEventRecording(true); }
  } logOff;
  machine_.Verify().Expect(winsim::rule::kSystemBufferUnwritten);
  const size_t logged = machine_.Log().Size();
  ASSERT_TRUE(RunApp([] {
    const HANDLE device = OpenTestDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    NTSTATUS status = STATUS_BUFFER_OVERFLOW;
    BYTE out[8];
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, kIoctlComplete, &status, sizeof(status), out, sizeof(out),
                                 &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MORE_DATA});
    EXPECT_EQ(returned, sizeof(out));
    status = STATUS_INVALID_PARAMETER;
    EXPECT_FALSE(DeviceIoControl(device, kIoctlComplete, &status, sizeof(status), out, sizeof(out),
                                 &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
    BYTE in[2] = {0x11, 0x22};
    EXPECT_TRUE(DeviceIoControl(device, kIoctlClaimUnwritten, in, sizeof(in), out, sizeof(out),
                                &returned, NULL));
    CloseHandle(device);
  }));
  EXPECT_EQ(FindingsOf(winsim::rule::kSystemBufferUnwritten).size(), 1u);
  EXPECT_EQ(machine_.Log().Size(), logged);
}

// Without lpBytesReturned or an OVERLAPPED, Windows' kernel32 still sends
// the request and faults only when it writes the byte count, which it does
// for success and warnings, not for errors.
TEST_F(DeviceFileTest, ANullByteCountFaultsAfterTheRequestWasSent) {
  machine_.Verify().Expect(winsim::rule::kInvalidParameter);
  struct Case {
    ULONG status;
    DWORD error;
    bool faults;
  };
  const Case cases[] = {
      {0x00000000, ERROR_INVALID_PARAMETER, true},  // STATUS_SUCCESS
      {0x80000005, ERROR_INVALID_PARAMETER, true},  // STATUS_BUFFER_OVERFLOW
      {0xC0000001, ERROR_GEN_FAILURE, false},       // STATUS_UNSUCCESSFUL
  };
  ASSERT_TRUE(RunApp([&cases] {
    const HANDLE device = OpenTestDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
      NTSTATUS status = static_cast<NTSTATUS>(c.status);
      BYTE out[4];
      const LONG before = g_counters.controls;
      EXPECT_FALSE(DeviceIoControl(device, kIoctlComplete, &status, sizeof(status), out,
                                   sizeof(out), NULL, NULL));
      EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
      EXPECT_EQ(g_counters.controls, before + 1) << "the driver saw the request";
    }
    CloseHandle(device);
  }));
  EXPECT_EQ(FindingsOf(winsim::rule::kInvalidParameter).size(), 2u);
  EXPECT_EQ(UserEvents("DeviceIoControl faults").size(), 2u);
}

TEST_F(DeviceFileTest, FailedOpensReturnTheInvalidHandleAndTheError) {
  struct Case {
    const char* name;
    DWORD error;
  };
  const Case cases[] = {
      {"\\\\.\\NOSUCHDEVICE", ERROR_FILE_NOT_FOUND},
      {"C:\\WINDOWS\\notes.txt", ERROR_PATH_NOT_FOUND},  // no disk files here
      {"K32TEST", ERROR_PATH_NOT_FOUND},
  };
  ASSERT_TRUE(RunApp([&cases] {
    for (const Case& c : cases) {
      SetLastError(ERROR_SUCCESS);
      EXPECT_EQ(OpenTestDevice(c.name), INVALID_HANDLE_VALUE) << c.name;
      EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    EXPECT_EQ(g_counters.creates, 0);
  }));
  EXPECT_TRUE(winsim::kernel32::OpenHandles().empty());
}

TEST_F(DeviceFileTest, AClosedHandleIsInvalidAndClosingItAgainIsAFinding) {
  machine_.Verify().Expect(winsim::rule::kInvalidHandle);
  ASSERT_TRUE(RunApp([] {
    const HANDLE device = OpenTestDevice();
    ASSERT_TRUE(CloseHandle(device));
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, kIoctlEcho, NULL, 0, NULL, 0, &returned, NULL));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    // The pseudo handle of the process "closes" as on Windows.
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
  }));
  EXPECT_EQ(g_counters.closes, 1);
  ASSERT_EQ(FindingsOf(winsim::rule::kInvalidHandle).size(), 1u);
}

TEST_F(DeviceFileTest, HandlesLeftOpenAreFindingsAndAreClosedAtTheEnd) {
  machine_.Verify().Expect(winsim::rule::kHandleLeak);
  ASSERT_TRUE(RunApp([] {
    ASSERT_NE(OpenTestDevice(), INVALID_HANDLE_VALUE);
    const HANDLE closed = OpenTestDevice();
    CloseHandle(closed);
    ASSERT_NE(CreateEventA(NULL, TRUE, FALSE, NULL), nullptr);
    EXPECT_EQ(winsim::kernel32::OpenHandles().size(), 2u);
  }));
  const auto leaks = FindingsOf(winsim::rule::kHandleLeak);
  ASSERT_EQ(leaks.size(), 2u);
  EXPECT_EQ(leaks[0].place, "CreateFileA(\\\\.\\K32TEST) on thread 'main' at 0.000000 s");
  EXPECT_NE(leaks[0].detail.find("file handle"), std::string::npos) << leaks[0].detail;
  EXPECT_NE(leaks[1].detail.find("event"), std::string::npos) << leaks[1].detail;
  EXPECT_EQ(g_counters.closes, 2);  // the leaked file was closed when the application ended
  EXPECT_TRUE(winsim::kernel32::OpenHandles().empty());
}

}  // namespace
}  // namespace k32test
