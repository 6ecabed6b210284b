// MessageBoxA as a modal loop that the user agent reads and answers.
#include <gtest/gtest.h>

#include "user32_fixture.h"

namespace user32_testing {
namespace {

class MessageBoxTest : public User32Test {};

TEST_F(MessageBoxTest, AgentReadsAndAnswers) {
  struct Case {
    UINT type;
    const char* answer;  // "Enter", "Escape", or a button id to click
    int clickId;
    int result;
  };
  const Case cases[] = {
      {MB_OK | MB_ICONEXCLAMATION, "Enter", 0, IDOK},
      {MB_OK | MB_ICONEXCLAMATION, "Escape", 0, IDOK},  // OK alone takes Escape
      {MB_OKCANCEL, "Escape", 0, IDCANCEL},
      {MB_OKCANCEL, "click", IDCANCEL, IDCANCEL},
      {MB_YESNO | MB_ICONQUESTION, "click", IDNO, IDNO},
      {MB_YESNO | MB_DEFBUTTON2, "Enter", 0, IDNO},
      {MB_YESNOCANCEL | MB_DEFBUTTON3, "Enter", 0, IDCANCEL},
      {MB_RETRYCANCEL | MB_ICONHAND, "click", IDRETRY, IDRETRY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + " " + std::to_string(c.type));
    TearDown();
    SetUp();
    int result = 0;
    std::optional<winsim::MessageBoxView> view;
    Play([&] { result = MessageBoxA(nullptr, "Complete!", "quillprog", c.type); },
         [&](winsim::UserAgent& agent) {
           view = agent.WaitForMessageBox();
           ASSERT_TRUE(view.has_value());
           if (std::string(c.answer) == "Enter") {
             EXPECT_TRUE(agent.PressEnter());
           } else if (std::string(c.answer) == "Escape") {
             EXPECT_TRUE(agent.PressEscape());
           } else {
             EXPECT_TRUE(agent.AnswerMessageBox(c.clickId));
           }
           EXPECT_FALSE(agent.MessageBox().has_value());
         });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(view->text, "Complete!");
    EXPECT_EQ(view->caption, "quillprog");
    EXPECT_TRUE(Logged("message box answered", "result", std::to_string(c.result)));
  }
}

TEST_F(MessageBoxTest, ViewShowsIconButtonsAndWholeText) {
  const std::string text =
      "If the device contains removable media, please remove the disk.  If the media cannot be "
      "removed, please use the unplug/eject applet to stop the device, then unplug and replug "
      "the USB cable.\n\nPress OK when complete.";
  std::optional<winsim::MessageBoxView> view;
  Play([&] { MessageBoxA(nullptr, text.c_str(), nullptr, MB_YESNOCANCEL | MB_ICONEXCLAMATION); },
       [&](winsim::UserAgent& agent) {
         view = agent.WaitForMessageBox();
         // A box without Cancel ignores Escape; this one has Cancel.
         agent.AnswerMessageBox(IDYES);
       });
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->text, text);
  EXPECT_EQ(view->caption, "Error");  // no caption given
  EXPECT_EQ(view->icon, "IDI_EXCLAMATION");
  EXPECT_EQ(view->buttons, (std::vector<std::string>{"Yes", "No", "Cancel"}));
  EXPECT_TRUE(Logged("message box shown", "icon", "IDI_EXCLAMATION"));
}

TEST_F(MessageBoxTest, YesNoBoxIgnoresEscape) {
  int result = 0;
  Play([&] { result = MessageBoxA(nullptr, "Sure?", "q", MB_YESNO); },
       [&](winsim::UserAgent& agent) {
         agent.WaitForMessageBox();
         EXPECT_TRUE(agent.PressEscape());
         EXPECT_TRUE(agent.MessageBox().has_value());  // still up
         EXPECT_TRUE(agent.AnswerMessageBox(IDYES));
       });
  EXPECT_EQ(result, IDYES);
}

TEST_F(MessageBoxTest, OwnerIsDisabledWhileTheBoxIsUp) {
  bool ownerEnabledDuring = true;
  bool ownerEnabledAfter = false;
  Play(
      [&] {
        Recorder recorder;
        HWND owner = CreateRecorder(recorder);
        ShowWindow(owner, SW_SHOW);
        MessageBoxA(owner, "Busy", "q", MB_OK);
        ownerEnabledAfter = IsWindowEnabled(owner) != FALSE;
        DestroyWindow(owner);
      },
      [&](winsim::UserAgent& agent) {
        agent.WaitForMessageBox();
        ownerEnabledDuring = IsWindowEnabled(agent.FindWindow("recorder")) != FALSE;
        agent.AnswerMessageBox(IDOK);
      });
  EXPECT_FALSE(ownerEnabledDuring);
  EXPECT_TRUE(ownerEnabledAfter);
}

TEST_F(MessageBoxTest, AnsweringWithoutABoxFails) {
  Play(
      [&] {
        Recorder recorder;
        HWND window = CreateRecorder(recorder);
        ShowWindow(window, SW_SHOW);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0)) DispatchMessageA(&msg);
      },
      [&](winsim::UserAgent& agent) {
        EXPECT_FALSE(agent.AnswerMessageBox(IDOK));
        HWND window = agent.FindWindow("recorder");
        PostMessageA(window, WM_QUIT, 0, 0);
      });
}

}  // namespace
}  // namespace user32_testing
