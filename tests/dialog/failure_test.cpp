// Every failure of the dialog: its message box, the status line after it,
// the animation and the buttons; closing refused while an update runs.
#include <gtest/gtest.h>

#include <cstdio>

#include "dialog_fixture.h"
#include "machine/machine_disk.h"

namespace dialog_testing {
namespace {

using winsim::UserAgent;
using winsim::usb::Failure;
using winsim::usb::TransferFault;

// An Intel HEX file of more records than the sort area holds.
std::string TooLongFlashFile() {
  std::string text;
  for (int record = 0; record < 2001; ++record) {
    char line[64];
    const unsigned address = static_cast<unsigned>(record) * 16;
    unsigned sum = 16 + (address >> 8) + (address & 0xFF);
    std::snprintf(line, sizeof line, ":10%04X00", address & 0xFFFF);
    text += line;
    for (int i = 0; i < 16; ++i) text += "00";
    std::snprintf(line, sizeof line, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  return text + ":00000001FF\r\n";
}

struct FailureCase {
  const char* name;
  bool selectDevice;
  enum { Sample, NoFile, Missing, TooLong } file;
  void (*prepare)(winsim::usb::Q417Script&);  // null: the default device
  const char* message;
  const char* statusAfter;
  bool downloadStarted;  // the worker ran (and failed)
};

// A failed block differs from a failed header only in its message, which the
// device-fault sweep checks for every block (tests/sweeps).
const FailureCase kFailures[] = {
    {"NoDevice", false, FailureCase::Sample, nullptr, kSelectDeviceAndFile, "", false},
    {"NoFile", true, FailureCase::NoFile, nullptr, kSelectDeviceAndFile, "", false},
    {"FileCannotBeOpened", true, FailureCase::Missing, nullptr, kFileCannotBeOpened, "", false},
    {"ImageCannotBeBuilt", true, FailureCase::TooLong, nullptr, kImageNotBuilt, "", false},
    {"TriggerAnswered", true, FailureCase::Sample,
     [](winsim::usb::Q417Script& q417) {
       q417.triggerPattern = {winsim::usb::TriggerReply::Answer};
       q417.leaveAfterTriggers = 0;
     },
     kDeviceCannotBeOpened, "", false},
    {"HeaderFails", true, FailureCase::Sample,
     [](winsim::usb::Q417Script& q417) {
       q417.updateMode.faults.failTransfers = {TransferFault{1, Failure{}}};
     },
     "ERROR: Cannot send firmware to device!", "Error", true},
};

void PrintTo(const FailureCase& failure, std::ostream* out) { *out << failure.name; }

class FailureTest : public DialogTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, ShowsItsMessageAndReturnsToIdle) {
  const FailureCase& failure = GetParam();
  if (failure.prepare != nullptr) failure.prepare(Q417());
  std::string path;
  switch (failure.file) {
    case FailureCase::Sample:
      path = SampleFirmware();
      break;
    case FailureCase::NoFile:
      break;
    case FailureCase::Missing:
      path = (winsim::MachineFolder() / "missing.hex").string();
      break;
    case FailureCase::TooLong:
      path = WriteFile("long.hex", TooLongFlashFile());
      break;
  }
  app_runner::RunResult result = Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    if (failure.selectDevice) SelectQ417(agent, dialog);
    if (!path.empty()) {
      EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, path));
    }
    ASSERT_TRUE(agent.Click(dialog, IDC_PROGRAM));

    std::optional<winsim::MessageBoxView> box = agent.WaitForMessageBox(60 * kSecond);
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->text, failure.message);
    EXPECT_EQ(box->caption, kTitle);
    EXPECT_EQ(box->icon, "IDI_EXCLAMATION");
    // While the box is up: still waiting; the animation plays only once the
    // worker has started.
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Please Wait...");
    EXPECT_EQ(agent.Animation(dialog, IDC_ANIMATION)->playing, failure.downloadStarted);
    ExpectButtonsEnabled(agent, dialog, false);
    EXPECT_TRUE(agent.AnswerMessageBox(IDOK));

    ExpectButtonsEnabled(agent, dialog, true);
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), failure.statusAfter);
    EXPECT_FALSE(agent.Animation(dialog, IDC_ANIMATION)->playing);
    // Idle again: no update is in progress, so Close is not refused.
    EXPECT_TRUE(agent.Click(dialog, IDOK));
    EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
  });
  ExpectClean(result);
}

INSTANTIATE_TEST_SUITE_P(Dialog, FailureTest, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FailureCase>& param) {
                           return std::string(param.param.name);
                         });

// How the user tries to close the busy dialog.
struct CloseAttempt {
  const char* name;
  bool (*attempt)(UserAgent&, HWND);
};

const CloseAttempt kCloseAttempts[] = {
    {"CloseBox", [](UserAgent& agent, HWND dialog) { return agent.CloseBox(dialog); }},
    {"AltF4", [](UserAgent& agent, HWND dialog) { return agent.PressAltF4(dialog); }},
    {"Escape", [](UserAgent& agent, HWND dialog) { return agent.PressEscape(dialog); }},
};

TEST_F(DialogTest, EveryWayOfClosingIsRefusedWhileTheUpdateRuns) {
  // The header transfer never completes: the update stays in progress until
  // the device is pulled.
  Q417().updateMode.faults.neverCompleteTransfers = {1};
  app_runner::RunResult result = Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    SelectQ417(agent, dialog);
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, SampleFirmware()));
    ASSERT_TRUE(agent.Click(dialog, IDC_PROGRAM));
    agent.Wait(5 * kSecond);  // the device is back in update mode, the header held

    // Close is disabled while busy: it cannot be clicked, and Enter, which
    // goes to it as the default button, only beeps (as Windows' dialog
    // manager does for a disabled default button).
    EXPECT_FALSE(agent.Click(dialog, IDOK));
    EXPECT_TRUE(agent.PressEnter(dialog));
    EXPECT_FALSE(agent.MessageBox().has_value());
    EXPECT_FALSE(session.programEnded);
    for (const CloseAttempt& close : kCloseAttempts) {
      SCOPED_TRACE(close.name);
      EXPECT_TRUE(close.attempt(agent, dialog));
      ExpectMessageBox(agent, kCannotCloseWhileBusy);
      EXPECT_EQ(agent.FindWindow(kDialogCaption), dialog);
      EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Please Wait...");
      EXPECT_TRUE(agent.Animation(dialog, IDC_ANIMATION)->playing);
      EXPECT_FALSE(session.programEnded);
    }

    // Pulling the device ends the held transfer; the update fails.
    EXPECT_TRUE(session.bus.Unplug(kQ417Port));
    ExpectMessageBox(agent, "ERROR: Cannot send firmware to device!");
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Error");
    EXPECT_TRUE(agent.PressEscape(dialog));
    EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
  });
  ExpectClean(result);
}

}  // namespace
}  // namespace dialog_testing
