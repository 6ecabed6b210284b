// The download worker against quillfw and the update-mode Q417 model, and
// the whole path: walk, trigger, re-enumeration, quillfw, download.
#include <gtest/gtest.h>

#include <windows.h>
#include <afxwin.h>

#include <memory>
#include <string>
#include <vector>

#include "app_machine.h"
#include "download_worker.h"
#include "kernel32/user_process.h"
#include "update_trigger.h"
#include "usb/models/q417.h"
#include "usb_devices.h"

namespace apptest {
namespace {

using namespace winsim::usb;

constexpr char WriteCode[] = "0x00222000";

// A firmware image of L bytes as the image builder chains it: 256-byte
// blocks, the last one holding L mod 256 (0 when L is a multiple of 256).
struct TestImage {
  explicit TestImage(uint32_t length) {
    for (uint32_t start = 0;; start += FlashBlockSize) {
      auto block = std::make_unique<FlashBlock>();
      *block = {};
      block->StartAddress = start;
      block->FillCount = length - start >= FlashBlockSize ? FlashBlockSize : length - start;
      for (UINT32 i = 0; i < block->FillCount; ++i) {
        block->Data[i] = static_cast<BYTE>((start + i) * 7 + (start >> 8) + 1);
        bytes.push_back(block->Data[i]);
      }
      if (!blocks.empty()) blocks.back()->Next = block.get();
      blocks.push_back(std::move(block));
      if (blocks.back()->FillCount < FlashBlockSize) break;
    }
  }
  FlashImage Head() const { return blocks.front().get(); }
  std::vector<std::unique_ptr<FlashBlock>> blocks;
  std::vector<uint8_t> bytes;
};

struct Posted {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

class WorkerTest : public AppMachineTest {
 protected:
  // A Q417 on root port 1; its update-mode self carries these faults.
  void StartQ417(Faults updateFaults = {}) {
    Q417Script q417;
    PortScript port = Q417Port(q417);
    Q417ScriptOf(port)->updateMode.faults = std::move(updateFaults);
    StartBus({{Controller({port})}});
  }
  // On the application's thread: walk, trigger, then run the worker to its
  // end and collect what it posted.
  static std::vector<Posted> TriggerAndDownload(DownloadJob& job) {
    ULONG count = 0;
    EnumerateUsbDevices(&count);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(TriggerUpdateMode(0), 0u);
    ClearDeviceTable();
    DownloadWorker(&job);
    return TakePosted();
  }
  static std::vector<Posted> TakePosted() {
    std::vector<Posted> posted;
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
      if (msg.message >= WM_DOWNLOAD_FAILED && msg.message <= WM_DOWNLOAD_DONE) {
        posted.push_back({msg.message, msg.wParam, msg.lParam});
      }
    }
    return posted;
  }
  // The driver's write requests by input size ("13" or "264").
  size_t WriteRequests(const std::string& size) const {
    size_t count = 0;
    for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
      count += event.text.rfind("DeviceIoControl", 0) == 0 && event.Field("ioctl") == WriteCode &&
               event.Field("in") == size;
    }
    return count;
  }
  const Q417Device* UpdateModeDevice(const std::string& path = "0/1") {
    const Q417Device* device = AsQ417(bus_->DeviceAt(path));
    return device != nullptr && device->InUpdateMode() ? device : nullptr;
  }
  static DownloadJob NewJob(HWND window, const TestImage& image) {
    DownloadJob job = {};
    job.DialogWindow = window;
    job.Image = image.Head();
    return job;
  }
};

struct RangeCase {
  uint32_t length;
  LPARAM range;
  size_t blockRequests;
  BYTE headerHigh;
  BYTE headerLow;
};

TEST_F(WorkerTest, RangeRequestCountAndHeaderFollowTheLength) {
  const RangeCase cases[] = {
      {0, 0, 1, 0x00, 0x00},       {255, 1, 1, 0x00, 0xFF},       {256, 1, 2, 0x01, 0x00},
      {300, 1, 2, 0x01, 0x2C},     {512, 2, 3, 0x02, 0x00},       {513, 3, 3, 0x02, 0x01},
      {1000, 3, 4, 0x03, 0xE8},    {32768, 128, 129, 0x80, 0x00}, {65535, 255, 256, 0xFF, 0xFF},
      {65536, 0, 257, 0x00, 0x00},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE("L = " + std::to_string(c.length));
    TearDown();
    SetUp();
    StartQ417();
    const TestImage image(c.length);
    ASSERT_EQ(image.blocks.size(), c.blockRequests);
    DownloadJob job = {};
    std::vector<Posted> posted;
    RunApp([&] {
      job = NewJob(AfxGetMainWnd()->GetSafeHwnd(), image);
      posted = TriggerAndDownload(job);
    });
    ASSERT_EQ(posted.size(), c.blockRequests + 2);
    EXPECT_EQ(posted.front().message, WM_DOWNLOAD_RANGE);
    EXPECT_EQ(posted.front().wParam, 0u);
    EXPECT_EQ(posted.front().lParam, c.range);
    for (size_t i = 1; i + 1 < posted.size(); ++i) {
      EXPECT_EQ(posted[i].message, WM_DOWNLOAD_PROGRESS);
      EXPECT_EQ(posted[i].wParam, reinterpret_cast<WPARAM>(&job));
    }
    EXPECT_EQ(posted.back().message, WM_DOWNLOAD_DONE);
    EXPECT_EQ(posted.back().wParam, reinterpret_cast<WPARAM>(&job));
    EXPECT_STREQ(job.FailureText, "");
    EXPECT_EQ(WriteRequests("13"), 1u);
    EXPECT_EQ(WriteRequests("264"), c.blockRequests);

    const Q417Device* device = UpdateModeDevice();
    ASSERT_NE(device, nullptr);
    // The device saw the header first: 0xEE 0 0, then L's two bytes.
    std::vector<uint8_t> received;
    for (const DeviceRequest& request : device->Requests()) {
      if (request.kind == RequestKind::Transfer && !request.in) {
        received.insert(received.end(), request.data.begin(), request.data.end());
      }
    }
    ASSERT_GE(received.size(), 5u);
    EXPECT_EQ(std::vector<uint8_t>(received.begin(), received.begin() + 5),
              (std::vector<uint8_t>{0xEE, 0x00, 0x00, c.headerHigh, c.headerLow}));
    EXPECT_EQ(std::vector<uint8_t>(received.begin() + 5, received.end()), image.bytes);
    // The flash holds the image (a length of 0 announces 65,536 bytes that
    // never come, so that download stays unfinished).
    const std::vector<uint8_t>& flash = device->Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + c.length), image.bytes);
    EXPECT_EQ(device->DownloadsCompleted(), c.length == 0 ? 0u : 1u);
  }
}

TEST_F(WorkerTest, GivesUpAfter120FailedOpensOnTheVirtualClock) {
  StartBus({{Controller({DevicePort(Named(DefaultMouse(), "mouse"))})}});
  const TestImage image(300);
  DownloadJob job = {};
  std::vector<Posted> posted;
  const winsim::VirtualTime start = machine_->Sched().Now();
  RunApp([&] {
    job = NewJob(AfxGetMainWnd()->GetSafeHwnd(), image);
    DownloadWorker(&job);
    posted = TakePosted();
  });
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, WM_DOWNLOAD_FAILED);
  EXPECT_STREQ(job.FailureText, FailureDeviceNotFound);
  size_t opens = 0;
  for (const winsim::Event& event : UserEvents("CreateFileA fails")) {
    opens += event.Field("path") == DownloadDeviceName;
  }
  EXPECT_EQ(opens, DeviceOpenAttempts);
  // One second after each attempt.
  const winsim::VirtualTime elapsed = machine_->Sched().Now() - start;
  EXPECT_GE(elapsed, 120'000 * winsim::kTicksPerMillisecond);
  EXPECT_LT(elapsed, 121'000 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(WriteRequests("13"), 0u);
}

// quillfw's device lets only Administrators open it: a user without those
// rights learns so at the first refused open, not after two minutes, and
// nothing is sent.
TEST_F(WorkerTest, AnOpenRefusedForRightsEndsTheWaitAtOnce) {
  StartQ417();
  machine_->SetAdministrator(false);
  const TestImage image(300);
  DownloadJob job = {};
  std::vector<Posted> posted;
  winsim::VirtualTime elapsed = 0;
  RunApp([&] {
    job = NewJob(AfxGetMainWnd()->GetSafeHwnd(), image);
    ULONG count = 0;
    EnumerateUsbDevices(&count);
    EXPECT_EQ(TriggerUpdateMode(0), 0u);
    ClearDeviceTable();
    const winsim::VirtualTime start = machine_->Sched().Now();
    DownloadWorker(&job);
    elapsed = machine_->Sched().Now() - start;
    posted = TakePosted();
  });
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, WM_DOWNLOAD_FAILED);
  EXPECT_STREQ(job.FailureText, FailureAccessDenied);
  // The opens before the device came back, then the refused one.
  EXPECT_LT(elapsed, 30'000 * winsim::kTicksPerMillisecond);
  size_t refused = 0;
  for (const winsim::Event& event : UserEvents("CreateFileA fails")) {
    refused += event.Field("path") == DownloadDeviceName && event.Field("error") == "5";
  }
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(WriteRequests("13"), 0u);
}

TEST_F(WorkerTest, TheDeviceIsClosedBeforeTheFinalMessage) {
  StartQ417();
  const TestImage image(700);
  DownloadJob job = {};
  RunApp([&] {
    job = NewJob(AfxGetMainWnd()->GetSafeHwnd(), image);
    TriggerAndDownload(job);
  });
  uint64_t closed = 0;
  uint64_t lastPosted = 0;
  uint64_t progressBeforeLast = 0;
  for (const winsim::Event& event : machine_->Log().OfKind(winsim::EventKind::User)) {
    if (event.text == "CloseHandle" && event.Field("what") == DownloadDeviceName) {
      EXPECT_EQ(closed, 0u) << "closed twice";
      closed = event.sequence;
    }
    if (event.text == "posted") {
      progressBeforeLast = lastPosted;
      lastPosted = event.sequence;
    }
  }
  ASSERT_NE(closed, 0u);
  EXPECT_GT(closed, progressBeforeLast);
  EXPECT_LT(closed, lastPosted);
}

}  // namespace
}  // namespace apptest
