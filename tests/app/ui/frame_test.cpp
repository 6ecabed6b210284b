// The frame and the idle dialog: Browse and its profile entry, the
// About item, the minimised paint, the image kept or dropped by Program,
// every way of closing ending the program, and the README's snapshot.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "dialog_fixture.h"
#include "harness/snapshot.h"
#include "crt/crt_heap.h"
#include "kernel32/user_process.h"
#include "machine/machine_disk.h"
#include "quill_version.h"

namespace dialog_testing {
namespace {

using winsim::UserAgent;

void ExpectEnds(app_runner::Session& session) {
  EXPECT_TRUE(session.agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

TEST_F(DialogTest, BrowseShowsThePathAndWritesItToTheProfile) {
  const std::filesystem::path profile =
      std::filesystem::path(winsim::WindowsDirectory()) / "quillprog.ini";
  std::filesystem::remove(profile);
  const std::string chosen = SampleFirmware();
  ExpectClean(Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    // Cancelled: nothing changes.
    ASSERT_TRUE(agent.Click(dialog, IDC_BROWSE));
    ASSERT_NE(agent.WaitForFileDialog(10 * kSecond), nullptr);
    EXPECT_TRUE(agent.CancelFileDialog());
    EXPECT_EQ(agent.Text(dialog, IDC_FILE_PATH), "");
    EXPECT_FALSE(std::filesystem::exists(profile));

    ASSERT_TRUE(agent.Click(dialog, IDC_BROWSE));
    ASSERT_NE(agent.WaitForFileDialog(10 * kSecond), nullptr);
    EXPECT_TRUE(agent.AnswerFileDialog(chosen));
    EXPECT_EQ(agent.Text(dialog, IDC_FILE_PATH), chosen);
    EXPECT_TRUE(agent.Click(dialog, IDOK));
    ExpectEnds(session);
  }));
  EXPECT_EQ(ReadFile(profile), "[Default Files]\r\nFlash File=" + chosen + "\r\n");
}

class AboutTest : public DialogTest, public testing::WithParamInterface<UINT> {};

TEST_P(AboutTest, TheSystemMenuCommandOpensTheAboutBox) {
  const UINT command = GetParam();
  ExpectClean(Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    std::vector<std::string> menu = agent.SystemMenuItems(dialog);
    ASSERT_GE(menu.size(), 2u);
    EXPECT_EQ(menu[menu.size() - 2], "");
    EXPECT_EQ(menu.back(), "About Q417 Firmware Programmer...");

    EXPECT_TRUE(agent.SystemCommand(dialog, command));
    HWND about = agent.WaitForWindow(kAboutCaption, 10 * kSecond);
    ASSERT_NE(about, nullptr);
    std::vector<std::string> texts;
    for (const winsim::ControlView& control : agent.Controls(about)) texts.push_back(control.text);
    // The release's major and minor version (VERSION).
    const std::string version_line = "Q417 FW Programmer Version " +
                                     std::to_string(QUILL_VERSION_MAJOR) + "." +
                                     std::to_string(QUILL_VERSION_MINOR);
    EXPECT_NE(std::find(texts.begin(), texts.end(), version_line), texts.end());
    EXPECT_EQ(agent.Text(about, IDOK), "OK");
    EXPECT_TRUE(agent.Control(about, IDOK)->defaultButton);
    // Modal to the main dialog.
    EXPECT_FALSE(agent.Click(dialog, IDC_REFRESH));
    EXPECT_TRUE(agent.Click(about, IDOK));
    EXPECT_EQ(agent.FindWindow(kAboutCaption), nullptr);
    EXPECT_TRUE(agent.Click(dialog, IDOK));
    ExpectEnds(session);
  }));
}

INSTANTIATE_TEST_SUITE_P(Dialog, AboutTest, testing::Values(0x0010u, 0x0013u));

TEST_F(DialogTest, MinimisedTheDialogPaintsItsIconCentred) {
  ExpectClean(Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(agent.DrawnIcons(dialog).empty());
    // The program's icon is the window's big and small icon and the drag
    // icon (queries, not user actions).
    const auto icon = reinterpret_cast<LRESULT>(
        LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME)));
    EXPECT_NE(icon, 0);
    EXPECT_EQ(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), icon);
    EXPECT_EQ(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), icon);
    EXPECT_EQ(SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0), icon);
    ASSERT_TRUE(agent.Minimize(dialog));
    EXPECT_TRUE(agent.IsMinimized(dialog));
    // A 36 x 36 client area and a 32 x 32 icon: (36 - 32 + 1) / 2 = 2.
    std::vector<POINT> icons = agent.DrawnIcons(dialog);
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].x, 2);
    EXPECT_EQ(icons[0].y, 2);
    EXPECT_TRUE(agent.PressAltF4(dialog));
    ExpectEnds(session);
  }));
}

// Program keeps the image when the file cannot be opened and drops it when
// the new one cannot be built. Counted from before the first press, the
// product's heap blocks still held are the image's blocks and the file
// path's string.
TEST_F(DialogTest, AMissingFileKeepsTheImageAndABadFileLeavesNone) {
  // The trigger is answered: every Program press fails there, after the
  // image is built.
  Q417().triggerPattern = {winsim::usb::TriggerReply::Answer};
  Q417().leaveAfterTriggers = 0;
  const std::string missing = (winsim::MachineFolder() / "missing.hex").string();
  const std::string bad = WriteFile("bad.hex", ":10000000ZZ\r\n:00000001FF\r\n");
  using winsim::crt::HeapFaults;
  long afterBuild = 0, afterMissing = 0, afterBad = 0;
  ExpectClean(Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    SelectQ417(agent, dialog);
    auto programWith = [&](const std::string& path, const char* message) {
      EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, path));
      EXPECT_TRUE(agent.Click(dialog, IDC_PROGRAM));
      ExpectMessageBox(agent, message);
      return HeapFaults::Outstanding();
    };
    HeapFaults::Arm(0);
    afterBuild = programWith(SampleFirmware(), kDeviceCannotBeOpened);
    afterMissing = programWith(missing, kFileCannotBeOpened);
    afterBad = programWith(bad, kImageNotBuilt);
    HeapFaults::Disarm();
    EXPECT_TRUE(agent.PressEscape(dialog));
    ExpectEnds(session);
  }));
  constexpr long kPathString = 1;
  EXPECT_EQ(afterBuild, 12 + kPathString) << "the sample's image: 12 blocks";
  EXPECT_EQ(afterMissing, 12 + kPathString) << "the image stays";
  EXPECT_EQ(afterBad, kPathString) << "the old image freed, none built";
}

// Every way of closing the idle dialog ends the program, and nothing is
// left open: Escape too releases the hub handles and the image.
struct Closing {
  const char* name;
  bool (*close)(UserAgent&, HWND);
};

const Closing kClosings[] = {
    {"CloseButton", [](UserAgent& agent, HWND dialog) { return agent.Click(dialog, IDOK); }},
    {"Enter", [](UserAgent& agent, HWND dialog) { return agent.PressEnter(dialog); }},
    {"Escape", [](UserAgent& agent, HWND dialog) { return agent.PressEscape(dialog); }},
    {"CloseBox", [](UserAgent& agent, HWND dialog) { return agent.CloseBox(dialog); }},
    {"AltF4", [](UserAgent& agent, HWND dialog) { return agent.PressAltF4(dialog); }},
};

void PrintTo(const Closing& closing, std::ostream* out) { *out << closing.name; }

class ClosingTest : public DialogTest, public testing::WithParamInterface<Closing> {};

TEST_P(ClosingTest, EndsTheProgramAndReleasesEverything) {
  Q417().triggerPattern = {winsim::usb::TriggerReply::Answer};
  Q417().leaveAfterTriggers = 0;
  long outstanding = -1;
  app_runner::RunResult result = Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    // An image built (the trigger then fails) and the hubs open.
    SelectQ417(agent, dialog);
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, SampleFirmware()));
    winsim::crt::HeapFaults::Arm(0);
    EXPECT_TRUE(agent.Click(dialog, IDC_PROGRAM));
    ExpectMessageBox(agent, kDeviceCannotBeOpened);
    EXPECT_FALSE(winsim::kernel32::OpenHandles().empty());

    EXPECT_TRUE(GetParam().close(agent, dialog));
    ExpectEnds(session);
    outstanding = winsim::crt::HeapFaults::Outstanding();
    winsim::crt::HeapFaults::Disarm();
  });
  // No handle-leak finding: the hub handles were closed by the dialog.
  ExpectClean(result);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(outstanding, 0) << "the image is freed when the dialog closes";
}

INSTANTIATE_TEST_SUITE_P(Dialog, ClosingTest, testing::ValuesIn(kClosings),
                         [](const testing::TestParamInfo<Closing>& param) {
                           return std::string(param.param.name);
                         });

// docs/images/main-dialog.svg, the README's picture: the real dialog with
// the Q417 picked and a file named. QUILL_UPDATE_SNAPSHOTS=1 rewrites it.
TEST_F(DialogTest, TheReadmeSnapshotIsTheMainDialog) {
  std::string svg;
  ExpectClean(Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);
    SelectQ417(agent, dialog);
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, "C:\\Firmware\\q417-1.1.hex"));
    svg = winsim::SnapshotWindow(dialog);
    EXPECT_TRUE(agent.Click(dialog, IDOK));
    ExpectEnds(session);
  }));
  ASSERT_FALSE(svg.empty());
  EXPECT_NE(svg.find(kDialogCaption), std::string::npos);
  EXPECT_NE(svg.find(kQ417Item), std::string::npos);
  const char* update = std::getenv("QUILL_UPDATE_SNAPSHOTS");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(README_SNAPSHOT, std::ios::binary) << svg;
  }
  EXPECT_EQ(ReadFile(README_SNAPSHOT), svg)
      << "the README's snapshot is out of date: run with QUILL_UPDATE_SNAPSHOTS=1";
}

}  // namespace
}  // namespace dialog_testing
