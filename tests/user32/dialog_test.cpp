// Dialogs from the program's real resources: template 102 built with its
// controls in order and at their places, the common-controls requirement,
// the modal loop and EndDialog, the keyboard interface and default WM_CLOSE.
#include <gtest/gtest.h>

#include "machine/machine.h"
#include "resource.h"
#include "user32_fixture.h"

namespace user32_testing {
namespace {

// What the test dialog procedure saw.
struct DialogLog {
  std::vector<int> commands;  // WM_COMMAND identifiers, BN_CLICKED only
  int closes = 0;             // WM_CLOSE
  bool endOnCommand = true;   // IDOK and IDCANCEL end the dialog
  std::function<void(HWND)> onInit;
};

DialogLog* g_log = nullptr;

INT_PTR CALLBACK TestDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      if (g_log->onInit) g_log->onInit(hDlg);
      return TRUE;
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      g_log->commands.push_back(LOWORD(wParam));
      if (g_log->endOnCommand && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(hDlg, LOWORD(wParam));
      }
      return TRUE;
    case WM_CLOSE:
      ++g_log->closes;
      return FALSE;  // the default processing
    default:
      return FALSE;
  }
}

class DialogTest : public User32Test {
 protected:
  void SetUp() override {
    User32Test::SetUp();
    g_log = &log_;
  }
  // Runs template 102 on the "ui" thread; the user plays it.
  void PlayMainDialog(const std::function<void(winsim::UserAgent&, HWND)>& user,
                      DWORD classes = ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS) {
    Play(
        [&] {
          if (classes != 0) InitControls(classes);
          result_ = DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRAMMER_DIALOG), nullptr,
                                    &TestDialogProc, 0);
        },
        [&](winsim::UserAgent& agent) {
          if (!agent.WaitIdle()) return;
          user(agent, agent.FindWindow("Q417 Firmware Programmer"));
        });
  }
  DialogLog log_;
  INT_PTR result_ = 0;
};

TEST_F(DialogTest, MainTemplateBuildsItsControlsInOrderAtTheirPlaces) {
  std::vector<winsim::ControlView> controls;
  RECT client{};
  PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) {
    ASSERT_NE(dialog, nullptr);
    controls = agent.Controls(dialog);
    GetClientRect(dialog, &client);
    agent.Click(dialog, IDOK);
  });
  struct Expected {
    int id;
    const char* className;
    const char* text;
  };
  const Expected expected[] = {
      {IDOK, "Button", "Close"},
      {IDC_PROGRAM, "Button", "Program"},
      {IDC_DEVICE_LIST, "ComboBox", ""},
      {-1, "Static", "Select Device:"},
      {IDC_FILE_PATH, "Edit", ""},
      {-1, "Static", "Select File:"},
      {IDC_BROWSE, "Button", "Browse"},
      {IDC_REFRESH, "Button", "Refresh"},
      {IDC_PROGRESS, "msctls_progress32", ""},
      {IDC_STATUS, "Static", ""},
      {IDC_ANIMATION, "SysAnimate32", ""},
  };
  ASSERT_EQ(controls.size(), std::size(expected));
  for (size_t i = 0; i < controls.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(controls[i].id, expected[i].id);
    EXPECT_EQ(controls[i].className, expected[i].className);
    EXPECT_EQ(controls[i].text, expected[i].text);
    EXPECT_TRUE(controls[i].visible);
  }
  // Dialog units of "MS Sans Serif" 8: 6 x 13 pixels per 4 x 8 units, rounded.
  EXPECT_EQ(client.right, 378);           // 252 units
  EXPECT_EQ(client.bottom, 210);          // 129 units
  EXPECT_EQ(controls[0].rect.left, 149);  // Close at 99, 108; 50 x 14
  EXPECT_EQ(controls[0].rect.top, 176);
  EXPECT_EQ(controls[0].rect.right - controls[0].rect.left, 75);
  EXPECT_EQ(controls[0].rect.bottom - controls[0].rect.top, 23);
  EXPECT_TRUE(controls[0].defaultButton);
  EXPECT_FALSE(controls[1].defaultButton);
  EXPECT_EQ(result_, IDOK);
}

// Windows registers the progress bar and the animation control only when
// the program asks; a dialog using one it did not register is not created.
TEST_F(DialogTest, CommonControlClassesMustBeRegistered) {
  struct Case {
    DWORD classes;
    bool created;
  };
  const Case cases[] = {
      {0, false},
      {ICC_PROGRESS_CLASS, false},
      {ICC_ANIMATE_CLASS, false},
      {ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.classes);
    TearDown();
    SetUp();
    log_ = DialogLog{};
    bool sawDialog = false;
    PlayMainDialog(
        [&](winsim::UserAgent& agent, HWND dialog) {
          sawDialog = dialog != nullptr;
          if (dialog != nullptr) agent.Click(dialog, IDOK);
        },
        c.classes);
    EXPECT_EQ(sawDialog, c.created);
    EXPECT_EQ(result_, c.created ? IDOK : -1);
    // A failed dialog leaves no window behind.
    EXPECT_TRUE(Logged("window destroyed", "window", "#32770 \"Q417 Firmware Programmer\""));
  }
  RunOnMachine([] {
    INITCOMMONCONTROLSEX wrongSize{sizeof(INITCOMMONCONTROLSEX) + 1, ICC_PROGRESS_CLASS};
    EXPECT_FALSE(InitCommonControlsEx(&wrongSize));
  });
}

TEST_F(DialogTest, KeysAndTheCloseBoxReachTheDialogProcedure) {
  struct Case {
    const char* name;
    std::function<bool(winsim::UserAgent&, HWND)> act;
    int command;
    int closes;
  };
  const Case cases[] = {
      {"Enter", [](winsim::UserAgent& a, HWND d) { return a.PressEnter(d); }, IDOK, 0},
      {"Escape", [](winsim::UserAgent& a, HWND d) { return a.PressEscape(d); }, IDCANCEL, 0},
      {"Alt+F4", [](winsim::UserAgent& a, HWND d) { return a.PressAltF4(d); }, IDCANCEL, 1},
      {"close box", [](winsim::UserAgent& a, HWND d) { return a.CloseBox(d); }, IDCANCEL, 1},
      {"system menu Close",
       [](winsim::UserAgent& a, HWND d) { return a.ChooseSystemMenuItem(d, "Close"); }, IDCANCEL,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    log_ = DialogLog{};
    PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) {
      ASSERT_NE(dialog, nullptr);
      EXPECT_TRUE(c.act(agent, dialog));
    });
    EXPECT_EQ(log_.commands, std::vector<int>{c.command});
    EXPECT_EQ(log_.closes, c.closes);
    EXPECT_EQ(result_, c.command);
  }
}

TEST_F(DialogTest, EnterFollowsTheFocusAndTheDefaultButton) {
  // The edit has the focus: Enter goes to the default button, whichever it
  // is now. A focused push button takes Enter itself.
  log_.endOnCommand = false;
  PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) {
    ASSERT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, "fw.hex"));  // focus on the edit
    EXPECT_TRUE(agent.PressEnter(dialog));
    // Program becomes the default button, Close an ordinary one.
    SendDlgItemMessageA(dialog, IDC_PROGRAM, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    SendDlgItemMessageA(dialog, IDOK, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    EXPECT_TRUE(agent.PressEnter(dialog));
    EXPECT_TRUE(agent.Click(dialog, IDC_REFRESH));  // a click focuses the button
    EXPECT_TRUE(agent.PressEnter(dialog));
    log_.endOnCommand = true;
    EXPECT_TRUE(agent.Click(dialog, IDOK));
  });
  EXPECT_EQ(log_.commands, (std::vector<int>{IDOK, IDC_PROGRAM, IDC_REFRESH, IDC_REFRESH, IDOK}));
}

TEST_F(DialogTest, DisabledButtonsTakeNeitherClicksNorEnter) {
  log_.onInit = [](HWND dialog) { EnableWindow(GetDlgItem(dialog, IDOK), FALSE); };
  PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) {
    EXPECT_FALSE(agent.IsEnabled(dialog, IDOK));
    EXPECT_FALSE(agent.Click(dialog, IDOK));
    // With the focus on the edit, Enter means the default button, which is
    // disabled: the dialog beeps.
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, "x"));
    EXPECT_TRUE(agent.PressEnter(dialog));
    EXPECT_TRUE(agent.PressEscape(dialog));
  });
  EXPECT_EQ(log_.commands, std::vector<int>{IDCANCEL});
  EXPECT_TRUE(Logged("beep"));
  EXPECT_TRUE(Logged("user cannot", "action", "click \"Close\""));
}

TEST_F(DialogTest, DialogIsShownOnlyAfterItsInitialisation) {
  bool visibleDuringInit = true;
  log_.onInit = [&](HWND dialog) { visibleDuringInit = IsWindowVisible(dialog) != FALSE; };
  PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) {
    EXPECT_TRUE(IsWindowVisible(dialog));
    agent.Click(dialog, IDOK);
  });
  EXPECT_FALSE(visibleDuringInit);
}

TEST_F(DialogTest, MissingTemplateFails) {
  RunOnMachine([&] {
    InitControls();
    EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(4242), nullptr, &TestDialogProc, 0), -1);
  });
}

TEST_F(DialogTest, MapDialogRectUsesTheDialogsBaseUnits) {
  RECT rect{4, 8, 252, 129};
  log_.onInit = [&](HWND dialog) { MapDialogRect(dialog, &rect); };
  PlayMainDialog([&](winsim::UserAgent& agent, HWND dialog) { agent.Click(dialog, IDOK); });
  EXPECT_EQ(rect.left, 6);
  EXPECT_EQ(rect.top, 13);
  EXPECT_EQ(rect.right, 378);
  EXPECT_EQ(rect.bottom, 210);
}

}  // namespace
}  // namespace user32_testing
