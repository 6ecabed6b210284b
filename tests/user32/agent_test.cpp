// The user agent on the program's own resources: picking and typing with
// their notifications, the system menu, the file dialog, waiting for text.
#include <gtest/gtest.h>

#include <cstring>

#include "resource.h"
#include "user32_fixture.h"

namespace user32_testing {
namespace {

struct Seen {
  std::vector<std::pair<int, int>> commands;  // id, code
  std::vector<UINT> sysCommands;
};
Seen* g_seen = nullptr;

// A dialog procedure that fills the list, appends the About item as the
// program's frame does, and records commands. (The minimised paint is the
// program's own: tests/dialog.)
INT_PTR CALLBACK AgentDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      HWND list = GetDlgItem(hDlg, IDC_DEVICE_LIST);
      SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("USB Root Hub"));
      SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("Q417 Storage Device"));
      HMENU menu = GetSystemMenu(hDlg, FALSE);
      char text[64];
      if (menu != nullptr && LoadStringA(nullptr, IDS_ABOUTBOX, text, sizeof text) > 0) {
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, text);
      }
      HICON icon = LoadIconA(reinterpret_cast<HINSTANCE>(1), MAKEINTRESOURCEA(IDR_MAINFRAME));
      SendMessageA(hDlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      return TRUE;
    }
    case WM_COMMAND:
      g_seen->commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(hDlg, LOWORD(wParam));
      return TRUE;
    case WM_SYSCOMMAND:
      g_seen->sysCommands.push_back(static_cast<UINT>(wParam));
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        MessageBoxA(hDlg, "About", "about", MB_OK);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

class AgentTest : public User32Test {
 protected:
  void SetUp() override {
    User32Test::SetUp();
    g_seen = &seen_;
  }
  void PlayDialog(const std::function<void(winsim::UserAgent&, HWND)>& user) {
    Play(
        [&] {
          InitControls();
          DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRAMMER_DIALOG), nullptr,
                          &AgentDialogProc, 0);
        },
        [&](winsim::UserAgent& agent) {
          agent.WaitIdle();
          HWND dialog = agent.FindWindow("Q417 Firmware Programmer");
          ASSERT_NE(dialog, nullptr);
          user(agent, dialog);
          if (IsWindow(dialog)) agent.PressEscape(dialog);
        });
  }
  Seen seen_;
};

TEST_F(AgentTest, PicksAnItemAndTypesAPathWithTheirNotifications) {
  std::optional<winsim::ComboView> combo;
  PlayDialog([&](winsim::UserAgent& agent, HWND dialog) {
    EXPECT_TRUE(agent.SelectItem(dialog, IDC_DEVICE_LIST, "Q417 Storage Device"));
    EXPECT_TRUE(agent.SelectItem(dialog, IDC_DEVICE_LIST, 1));  // no change, no notification
    EXPECT_FALSE(agent.SelectItem(dialog, IDC_DEVICE_LIST, 2));
    EXPECT_FALSE(agent.SelectItem(dialog, IDC_DEVICE_LIST, "Mouse"));
    EXPECT_TRUE(agent.TypeText(dialog, IDC_FILE_PATH, "/tmp/fw.hex"));
    combo = agent.Combo(dialog, IDC_DEVICE_LIST);
    EXPECT_EQ(agent.Text(dialog, IDC_DEVICE_LIST), "Q417 Storage Device");
    EXPECT_EQ(agent.Text(dialog, IDC_FILE_PATH), "/tmp/fw.hex");
  });
  ASSERT_TRUE(combo.has_value());
  EXPECT_EQ(combo->selection, 1);
  const std::vector<std::pair<int, int>> selections = [&] {
    std::vector<std::pair<int, int>> found;
    for (auto command : seen_.commands) {
      if (command.second == CBN_SELCHANGE || command.second == EN_CHANGE) found.push_back(command);
    }
    return found;
  }();
  EXPECT_EQ(selections, (std::vector<std::pair<int, int>>{{IDC_DEVICE_LIST, CBN_SELCHANGE},
                                                          {IDC_FILE_PATH, EN_CHANGE}}));
}

TEST_F(AgentTest, SystemMenuCarriesTheAppendedItem) {
  std::vector<std::string> items;
  std::optional<winsim::MessageBoxView> about;
  PlayDialog([&](winsim::UserAgent& agent, HWND dialog) {
    items = agent.SystemMenuItems(dialog);
    EXPECT_TRUE(agent.ChooseSystemMenuItem(dialog, "About Q417 Firmware Programmer..."));
    about = agent.MessageBox();
    agent.AnswerMessageBox(IDOK);
    EXPECT_TRUE(agent.SystemCommand(dialog, 0x0013));  // low bits set: still the About item
    agent.AnswerMessageBox(IDOK);
    EXPECT_FALSE(agent.ChooseSystemMenuItem(dialog, "Maximize"));
  });
  EXPECT_EQ(items, (std::vector<std::string>{"Move", "", "Close", "",
                                             "About Q417 Firmware Programmer..."}));
  ASSERT_TRUE(about.has_value());
  EXPECT_EQ(seen_.sysCommands, (std::vector<UINT>{IDM_ABOUTBOX, 0x0013}));
}

TEST_F(AgentTest, WaitsForTextWithATimeOut) {
  PlayDialog([&](winsim::UserAgent& agent, HWND dialog) {
    EXPECT_FALSE(agent.WaitForText(dialog, IDC_STATUS, "Complete", 500 * kMillisecond));
    SetDlgItemTextA(dialog, IDC_STATUS, "Complete");
    EXPECT_TRUE(agent.WaitForText(dialog, IDC_STATUS, "Complete", 500 * kMillisecond));
  });
}

TEST_F(AgentTest, AnswersTheFileDialog) {
  struct Case {
    const char* typed;  // null: cancel
    DWORD size;
    BOOL result;
    const char* path;
    DWORD error;
  };
  const Case cases[] = {
      {"/data/firmware", MAX_PATH, TRUE, "/data/firmware.hex", 0},  // default extension
      {"/data/fw.HEX", MAX_PATH, TRUE, "/data/fw.HEX", 0},
      {nullptr, MAX_PATH, FALSE, "", 0},
      {"/data/a-long-name.hex", 8, FALSE, nullptr, FNERR_BUFFERTOOSMALL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed != nullptr ? c.typed : "cancel");
    TearDown();
    SetUp();
    BOOL result = -1;
    DWORD error = 0;
    char file[MAX_PATH] = "";
    OPENFILENAMEA ofn{};
    Play(
        [&] {
          ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
          ofn.lpstrFilter = "Hex Files (*.hex)\0*.hex\0All Files (*.*)\0*.*\0\0";
          ofn.lpstrFile = file;
          ofn.nMaxFile = c.size;
          ofn.lpstrDefExt = ".hex";
          ofn.Flags = OFN_EXPLORER;
          result = GetOpenFileNameA(&ofn);
          error = CommDlgExtendedError();
        },
        [&](winsim::UserAgent& agent) {
          HWND dialog = agent.WaitForFileDialog();
          ASSERT_NE(dialog, nullptr);
          EXPECT_EQ(agent.Combo(dialog, 0x470)->items,
                    (std::vector<std::string>{"Hex Files (*.hex)", "All Files (*.*)"}));
          if (c.typed != nullptr) {
            EXPECT_TRUE(agent.AnswerFileDialog(c.typed));
          } else {
            EXPECT_TRUE(agent.CancelFileDialog());
          }
        });
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(error, c.error);
    if (c.path != nullptr) {
      EXPECT_STREQ(file, c.path);
    }
    if (c.result) {
      EXPECT_STREQ(file + ofn.nFileOffset, std::strrchr(c.path, '/') + 1);
    }
  }
}

}  // namespace
}  // namespace user32_testing
