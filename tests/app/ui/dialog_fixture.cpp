#include "dialog_fixture.h"

#include <fstream>

#include "flash_image.h"
#include "machine/machine_description.h"
#include "machine/machine_disk.h"

namespace dialog_testing {

void DialogTest::SetUp() {
  SimMachineTest::SetUp();
  usb_ = winsim::LoadMachineDescription(EXAMPLE_MACHINES_DIR "/default-nt.json").usb;
  app_runner::RegisterQuillfw();
}

app_runner::RunResult DialogTest::Run(const app_runner::Script& script, bool closeAfterScript) {
  app_runner::RunOptions options;
  options.resources = QUILLPROG_RES;
  options.usb = usb_;
  options.closeAfterScript = closeAfterScript;
  return app_runner::RunQuillprog(machine(), options, script);
}

winsim::usb::Q417Script& DialogTest::Q417() {
  // Controller 1, root port 1 (a hub), hub port 2.
  return *Q417ScriptOf(usb_.controllers.at(1).rootPorts.at(0).hubPorts.at(1));
}

HWND DialogTest::Start(winsim::UserAgent& agent) {
  std::optional<winsim::MessageBoxView> box = agent.WaitForMessageBox(10 * kSecond);
  EXPECT_TRUE(box.has_value());
  if (!box) return nullptr;
  EXPECT_EQ(box->text, kRemovableMedia);
  EXPECT_EQ(box->caption, kTitle);
  // The dialog is not shown yet while the warning is up.
  EXPECT_EQ(agent.FindWindow(kDialogCaption), nullptr);
  EXPECT_TRUE(agent.AnswerMessageBox(IDOK));
  HWND dialog = agent.WaitForWindow(kDialogCaption, 10 * kSecond);
  EXPECT_NE(dialog, nullptr);
  return dialog;
}

void DialogTest::ExpectMessageBox(winsim::UserAgent& agent, const std::string& text) {
  std::optional<winsim::MessageBoxView> box = agent.WaitForMessageBox(60 * kSecond);
  ASSERT_TRUE(box.has_value()) << "expected: " << text;
  EXPECT_EQ(box->text, text);
  EXPECT_EQ(box->caption, kTitle);
  EXPECT_EQ(box->icon, "IDI_EXCLAMATION");
  EXPECT_EQ(box->buttons, std::vector<std::string>{"OK"});
  EXPECT_TRUE(agent.AnswerMessageBox(IDOK));
}

void DialogTest::ExpectButtonsEnabled(winsim::UserAgent& agent, HWND dialog, bool enabled) {
  for (int id : {IDC_REFRESH, IDC_BROWSE, IDOK, IDC_PROGRAM}) {
    EXPECT_EQ(agent.IsEnabled(dialog, id), enabled) << "button " << id;
  }
  // Never disabled.
  EXPECT_TRUE(agent.IsEnabled(dialog, IDC_DEVICE_LIST));
  EXPECT_TRUE(agent.IsEnabled(dialog, IDC_FILE_PATH));
}

void DialogTest::SelectQ417(winsim::UserAgent& agent, HWND dialog) {
  EXPECT_TRUE(agent.SelectItem(dialog, IDC_DEVICE_LIST, kQ417Item));
}

std::string DialogTest::WriteFile(const std::string& name, const std::string& contents) {
  std::filesystem::path path = winsim::MachineFolder() / name;
  std::ofstream(path, std::ios::binary) << contents;
  return path.string();
}

std::string DialogTest::SampleFirmware() { return SAMPLE_FIRMWARE; }

std::vector<uint8_t> DialogTest::ExpectedFlash(const std::string& path) {
  std::vector<uint8_t> bytes;
  FlashImage image = BuildFlashImage(path.c_str());
  for (const FlashBlock* block = image; block != nullptr; block = block->Next) {
    bytes.insert(bytes.end(), block->Data, block->Data + block->FillCount);
  }
  FreeFlashImage(image);
  return bytes;
}

void DialogTest::ExpectClean(const app_runner::RunResult& result) {
  EXPECT_TRUE(result.Clean());
  for (const std::string& finding : result.unexpectedFindings) ADD_FAILURE() << finding;
}

}  // namespace dialog_testing
