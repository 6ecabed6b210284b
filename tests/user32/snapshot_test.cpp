// Snapshots: well-formed SVG that shows each control's state.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "harness/snapshot.h"
#include "resource.h"
#include "user32_fixture.h"

namespace user32_testing {
namespace {

// A small XML well-formedness check: tags nest and close, attribute values
// are quoted, and '&' starts a known entity.
bool WellFormed(const std::string& xml, std::string& problem) {
  std::vector<std::string> open;
  size_t i = 0;
  while (i < xml.size()) {
    if (xml[i] == '&') {
      const size_t end = xml.find(';', i);
      const std::string entity = end == std::string::npos ? "" : xml.substr(i, end - i + 1);
      if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;") {
        problem = "bad entity at " + std::to_string(i);
        return false;
      }
      i = end + 1;
      continue;
    }
    if (xml[i] != '<') {
      ++i;
      continue;
    }
    const size_t end = xml.find('>', i);
    if (end == std::string::npos) {
      problem = "unterminated tag";
      return false;
    }
    std::string tag = xml.substr(i + 1, end - i - 1);
    i = end + 1;
    if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) {
      problem = "unbalanced quotes in <" + tag + ">";
      return false;
    }
    if (tag.front() == '/') {
      if (open.empty() || open.back() != tag.substr(1)) {
        problem = "unexpected </" + tag.substr(1) + ">";
        return false;
      }
      open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(tag.substr(0, tag.find(' ')));
    }
  }
  if (!open.empty()) problem = "unclosed <" + open.back() + ">";
  return open.empty();
}

INT_PTR CALLBACK StateProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SendDlgItemMessageA(hDlg, IDC_DEVICE_LIST, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>("Q417 <Storage> & Co"));
    SendDlgItemMessageA(hDlg, IDC_DEVICE_LIST, CB_SETCURSEL, 0, 0);
    SetDlgItemTextA(hDlg, IDC_FILE_PATH, "C:\\firmware\\q417.hex");
    SetDlgItemTextA(hDlg, IDC_STATUS, "Please Wait...");
    SendDlgItemMessageA(hDlg, IDC_PROGRESS, PBM_SETPOS, 40, 0);
    SendDlgItemMessageA(hDlg, IDC_ANIMATION, ACM_OPEN, 0,
                        reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(IDR_PROGRESS_AVI)));
    EnableWindow(GetDlgItem(hDlg, IDC_PROGRAM), FALSE);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) EndDialog(hDlg, IDCANCEL);
  return message == WM_COMMAND;
}

class SnapshotTest : public User32Test {};

TEST_F(SnapshotTest, DialogShowsEveryControlsState) {
  std::string svg;
  std::string screen;
  std::string box;
  Play(
      [&] {
        InitControls();
        DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRAMMER_DIALOG), nullptr, &StateProc, 0);
      },
      [&](winsim::UserAgent& agent) {
        agent.WaitIdle();
        HWND dialog = agent.FindWindow("Q417 Firmware Programmer");
        svg = winsim::SnapshotWindow(dialog);
        PostMessageA(dialog, WM_USER + 50, 0, 0);
        agent.PressEscape(dialog);
      });
  std::string problem;
  EXPECT_TRUE(WellFormed(svg, problem)) << problem;
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"384\" height=\"235\"", 0),
            0u);  // 378 x 210 client, 3-pixel frame, 19-pixel caption
  for (const char* text :
       {">Q417 Firmware Programmer<", ">Close<", ">Program<", ">Browse<", ">Refresh<",
        ">Select Device:<", ">Select File:<", ">Q417 &lt;Storage&gt; &amp; Co<",
        ">C:\\firmware\\q417.hex<", ">Please Wait...<"}) {
    EXPECT_NE(svg.find(text), std::string::npos) << text;
  }
  // The disabled Program button is drawn grey (with its embossed shadow).
  EXPECT_NE(svg.find("fill=\"#808080\" text-anchor=\"middle\">Program<"), std::string::npos);
  std::ofstream(::testing::TempDir() + "main-dialog.svg") << svg;
}

TEST_F(SnapshotTest, MessageBoxAndScreen) {
  std::string box;
  std::string screen;
  Play([&] { MessageBoxA(nullptr, "You cannot close <now>!", "quillprog", MB_ICONEXCLAMATION); },
       [&](winsim::UserAgent& agent) {
         const auto view = agent.WaitForMessageBox();
         box = winsim::SnapshotWindow(view->window);
         screen = winsim::SnapshotScreen();
         agent.AnswerMessageBox(IDOK);
       });
  std::string problem;
  EXPECT_TRUE(WellFormed(box, problem)) << problem;
  EXPECT_TRUE(WellFormed(screen, problem)) << problem;
  EXPECT_NE(box.find(">You cannot close &lt;now&gt;!<"), std::string::npos);
  EXPECT_NE(box.find(">OK<"), std::string::npos);
  EXPECT_NE(box.find("<polygon"), std::string::npos);  // the exclamation icon
  EXPECT_NE(screen.find(">quillprog<"), std::string::npos);
  EXPECT_TRUE(winsim::SnapshotWindow(nullptr).empty());
}

}  // namespace
}  // namespace user32_testing
