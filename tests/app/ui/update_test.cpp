// The whole road of an update from the dialog, Refresh after it, and the
// app's end when the dialog closes. Failures, a second update, the largest
// image and closing while busy are example scenarios (label scenarios); the
// endpoint an image goes to is quillfw's choice (tests/driver).
#include <gtest/gtest.h>

#include <algorithm>

#include "dialog_fixture.h"
#include "usb/models/q417.h"

namespace dialog_testing {
namespace {

using winsim::UserAgent;

const winsim::usb::Q417Device* UpdateModeDevice(winsim::usb::UsbBus& bus, size_t nth) {
  size_t seen = 0;
  for (const winsim::usb::UsbDevice* device : bus.History(kQ417Port)) {
    if (device->Script().productId == 0xF001 && seen++ == nth) return winsim::usb::AsQ417(device);
  }
  return nullptr;
}

TEST_F(DialogTest, OneUpdateFromStartToCompleteThenRefreshAndTheAppEndsWithTheDialog) {
  const std::string firmware = SampleFirmware();
  std::vector<uint8_t> flash;
  app_runner::RunResult result = Run([&](app_runner::Session& session) {
    UserAgent& agent = session.agent;
    HWND dialog = Start(agent);
    ASSERT_NE(dialog, nullptr);

    // Idle at start.
    ExpectButtonsEnabled(agent, dialog, true);
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "");
    EXPECT_EQ(agent.Text(dialog, IDC_FILE_PATH), "");
    std::optional<winsim::ComboView> list = agent.Combo(dialog, IDC_DEVICE_LIST);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->selection, -1);
    EXPECT_NE(std::find(list->items.begin(), list->items.end(), kQ417Item), list->items.end());
    std::optional<winsim::ProgressView> progress = agent.Progress(dialog, IDC_PROGRESS);
    ASSERT_TRUE(progress.has_value());
    EXPECT_EQ(progress->low, 0);
    EXPECT_EQ(progress->high, 100);
    EXPECT_EQ(progress->pos, 0);
    std::optional<winsim::AnimationView> animation = agent.Animation(dialog, IDC_ANIMATION);
    ASSERT_TRUE(animation.has_value());
    EXPECT_TRUE(animation->open);
    EXPECT_FALSE(animation->playing);
    EXPECT_EQ(animation->frames, 30u);

    SelectQ417(agent, dialog);
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, firmware));
    ASSERT_TRUE(agent.Click(dialog, IDC_PROGRAM));

    // Downloading: busy, waiting, animated; Close is the default button now.
    ExpectButtonsEnabled(agent, dialog, false);
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Please Wait...");
    EXPECT_TRUE(agent.Animation(dialog, IDC_ANIMATION)->playing);
    EXPECT_TRUE(agent.Control(dialog, IDOK)->defaultButton);
    EXPECT_FALSE(agent.Control(dialog, IDC_PROGRAM)->defaultButton);

    std::optional<winsim::MessageBoxView> done = agent.WaitForMessageBox(60 * kSecond);
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(done->text, "Complete!");
    EXPECT_EQ(done->caption, kTitle);
    // Behind the box: the status is set and the animation stopped first; the
    // buttons wait for the answer.
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Firmware Update Complete.");
    EXPECT_FALSE(agent.Animation(dialog, IDC_ANIMATION)->playing);
    ExpectButtonsEnabled(agent, dialog, false);
    // The sample is 12 blocks: the worker sets the range 0 to 11 and steps
    // once per block, the bar stopping at its maximum.
    progress = agent.Progress(dialog, IDC_PROGRESS);
    EXPECT_EQ(progress->high, 11);
    EXPECT_EQ(progress->pos, 11);
    EXPECT_TRUE(agent.AnswerMessageBox(IDOK));

    ExpectButtonsEnabled(agent, dialog, true);
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "Firmware Update Complete.");
    const winsim::usb::Q417Device* device = UpdateModeDevice(session.bus, 0);
    ASSERT_NE(device, nullptr);
    flash = device->Flash();

    // Refresh empties the status and the bar and rebuilds the list, where
    // the Q417 is now in update mode, listed by its update-mode description.
    ASSERT_TRUE(agent.Click(dialog, IDC_REFRESH));
    EXPECT_EQ(agent.Text(dialog, IDC_STATUS), "");
    EXPECT_EQ(agent.Progress(dialog, IDC_PROGRESS)->pos, 0);
    std::optional<winsim::ComboView> after = agent.Combo(dialog, IDC_DEVICE_LIST);
    EXPECT_EQ(after->selection, -1);
    EXPECT_EQ(after->items.size(), list->items.size());
    EXPECT_NE(after->items, list->items);
    EXPECT_EQ(agent.Text(dialog, IDC_FILE_PATH), firmware);

    // Closing the dialog ends the program.
    EXPECT_TRUE(agent.Click(dialog, IDOK));
    EXPECT_TRUE(agent.WaitUntil([&] { return session.programEnded; }, 10 * kSecond));
  });
  ExpectClean(result);
  const std::vector<uint8_t> image = ExpectedFlash(firmware);
  ASSERT_EQ(image.size(), 3000u);
  ASSERT_GE(flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

}  // namespace
}  // namespace dialog_testing
