// The standard and common controls' message behaviour, table-driven:
// combo box counts, selection and CB_ERR cases, progress bar clamping and
// return values, window text buffers, button notifications.
#include <gtest/gtest.h>

#include <cstring>

#include "user32_fixture.h"

namespace user32_testing {
namespace {

class ControlsTest : public User32Test {
 protected:
  // Runs body with a visible parent (recording notifications) and a child
  // control of that class.
  void WithControl(const char* className, DWORD style,
                   const std::function<void(HWND control, Recorder& parent)>& body) {
    RunOnMachine([&] {
      InitControls();
      Recorder recorder;
      HWND parent = CreateRecorder(recorder);
      ShowWindow(parent, SW_SHOW);
      HWND control = CreateWindowExA(0, className, "", WS_CHILD | WS_VISIBLE | style, 0, 0, 100, 20,
                                     parent, reinterpret_cast<HMENU>(77), nullptr, nullptr);
      ASSERT_NE(control, nullptr);
      body(control, recorder);
      DestroyWindow(parent);
    });
  }
};

LPARAM Text(const char* text) { return reinterpret_cast<LPARAM>(text); }

TEST_F(ControlsTest, ComboBoxDropDownList) {
  struct Step {
    UINT message;
    WPARAM wParam;
    const char* text;  // lParam, when the message takes a string
    LRESULT result;
    int count;
    int selection;
  };
  const WPARAM none = static_cast<WPARAM>(-1);
  const Step steps[] = {
      {CB_GETCOUNT, 0, nullptr, 0, 0, CB_ERR},
      {CB_GETCURSEL, 0, nullptr, CB_ERR, 0, CB_ERR},
      {CB_SETCURSEL, 0, nullptr, CB_ERR, 0, CB_ERR},  // nothing to select
      {CB_ADDSTRING, 0, "Mass Storage", 0, 1, CB_ERR},
      {CB_ADDSTRING, 0, "Hub", 1, 2, CB_ERR},  // not sorted: appended
      {CB_ADDSTRING, 0, "Keyboard", 2, 3, CB_ERR},
      {CB_GETLBTEXTLEN, 1, nullptr, 3, 3, CB_ERR},
      {CB_GETLBTEXTLEN, 3, nullptr, CB_ERR, 3, CB_ERR},
      {CB_SETCURSEL, 2, nullptr, 2, 3, 2},
      {CB_SETCURSEL, 3, nullptr, CB_ERR, 3, CB_ERR},  // out of range clears the selection
      {CB_SETCURSEL, 1, nullptr, 1, 3, 1},
      {CB_SETCURSEL, none, nullptr, CB_ERR, 3, CB_ERR},  // -1 clears it too
      {CB_SETCURSEL, 2, nullptr, 2, 3, 2},
      {CB_DELETESTRING, 0, nullptr, 2, 2, 1},       // the selection moves with its item
      {CB_DELETESTRING, 1, nullptr, 1, 1, CB_ERR},  // deleting the selected item
      {CB_DELETESTRING, 5, nullptr, CB_ERR, 1, CB_ERR},
      {CB_DELETESTRING, none, nullptr, CB_ERR, 1, CB_ERR},
      {CB_INSERTSTRING, 0, "First", 0, 2, CB_ERR},
      {CB_INSERTSTRING, 9, "Nowhere", CB_ERR, 2, CB_ERR},
      {CB_INSERTSTRING, none, "Last", 2, 3, CB_ERR},
      {CB_FINDSTRINGEXACT, none, "last", 2, 3, CB_ERR},
      {CB_FINDSTRINGEXACT, none, "Las", CB_ERR, 3, CB_ERR},
      {CB_RESETCONTENT, 0, nullptr, CB_OKAY, 0, CB_ERR},
      {CB_GETLBTEXTLEN, 0, nullptr, CB_ERR, 0, CB_ERR},
  };
  WithControl("ComboBox", CBS_DROPDOWNLIST | WS_VSCROLL, [&](HWND combo, Recorder& parent) {
    for (size_t i = 0; i < std::size(steps); ++i) {
      const Step& step = steps[i];
      SCOPED_TRACE(i);
      EXPECT_EQ(SendMessageA(combo, step.message, step.wParam, step.text ? Text(step.text) : 0),
                step.result);
      EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), step.count);
      EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), step.selection);
    }
    // Programmatic selection does not notify the parent.
    EXPECT_TRUE(parent.Messages(WM_COMMAND).empty());
  });
}

TEST_F(ControlsTest, ComboBoxTextOfItemsAndOfTheSelection) {
  WithControl("ComboBox", CBS_DROPDOWNLIST, [](HWND combo, Recorder&) {
    SendMessageA(combo, CB_ADDSTRING, 0, Text("USB Mass Storage Device"));
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(buffer)), 23);
    EXPECT_STREQ(buffer, "USB Mass Storage Device");
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(buffer)), CB_ERR);
    // A drop-down list's window text is its selected item.
    EXPECT_EQ(GetWindowTextLengthA(combo), 0);
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
    EXPECT_EQ(GetWindowTextA(combo, buffer, 4), 3);
    EXPECT_STREQ(buffer, "USB");
  });
}

TEST_F(ControlsTest, SortedComboBoxInsertsInOrder) {
  WithControl("ComboBox", CBS_DROPDOWNLIST | CBS_SORT, [](HWND combo, Recorder&) {
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, Text("mouse")), 0);
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, Text("Hub")), 0);
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, Text("Keyboard")), 1);
  });
}

TEST_F(ControlsTest, ProgressBarClampsAndAnswersThePreviousValues) {
  struct Step {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result;
    int pos;
  };
  const Step steps[] = {
      {PBM_GETPOS, 0, 0, 0, 0},
      {PBM_SETPOS, 50, 0, 0, 50},
      {PBM_SETPOS, 150, 0, 50, 100},  // above the default range 0..100
      {PBM_SETPOS, static_cast<WPARAM>(-5), 0, 100, 0},
      {PBM_DELTAPOS, 30, 0, 0, 30},
      {PBM_DELTAPOS, 90, 0, 30, 100},
      {PBM_SETRANGE, 0, MAKELPARAM(0, 3), MAKELRESULT(0, 100), 3},  // the position follows
      {PBM_DELTAPOS, 1, 0, 3, 3},                                   // stays at the maximum
      {PBM_SETPOS, 0, 0, 3, 0},
      {PBM_SETRANGE, 0, MAKELPARAM(10, 40000), MAKELRESULT(0, 3), 10},
      {PBM_SETRANGE, 0, MAKELPARAM(0, 65535), MAKELRESULT(10, 40000), 10},  // unsigned words
      {PBM_SETPOS, 65000, 0, 10, 65000},
      {PBM_SETRANGE, 0, MAKELPARAM(0, 0), MAKELRESULT(0, 65535), 0},  // range 0..0
      {PBM_DELTAPOS, 1, 0, 0, 0},
      {PBM_GETRANGE, TRUE, 0, 0, 0},
      {PBM_SETRANGE32, 5, 500, MAKELRESULT(0, 0), 5},
      {PBM_GETRANGE, FALSE, 0, 500, 5},
      {PBM_SETSTEP, 200, 0, 10, 5},
      {PBM_STEPIT, 0, 0, 5, 205},
  };
  WithControl(PROGRESS_CLASSA, WS_BORDER, [&](HWND bar, Recorder&) {
    for (size_t i = 0; i < std::size(steps); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(SendMessageA(bar, steps[i].message, steps[i].wParam, steps[i].lParam),
                steps[i].result);
      EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), steps[i].pos);
    }
  });
  EXPECT_TRUE(Logged("progress range", "high", "3"));
  EXPECT_TRUE(Logged("progress", "pos", "65000"));
}

TEST_F(ControlsTest, WindowTextFitsTheCallersBuffer) {
  struct Case {
    int size;
    int copied;
    const char* text;
  };
  const Case cases[] = {{0, 0, ""},
                        {1, 0, ""},
                        {4, 3, "Ple"},
                        {14, 13, "Please Wait.."},
                        {15, 14, "Please Wait..."},
                        {100, 14, "Please Wait..."}};
  WithControl("Static", SS_CENTER, [&](HWND label, Recorder&) {
    ASSERT_TRUE(SetWindowTextA(label, "Please Wait..."));
    EXPECT_EQ(GetWindowTextLengthA(label), 14);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.size);
      char buffer[128];
      std::memset(buffer, '#', sizeof buffer);
      EXPECT_EQ(GetWindowTextA(label, buffer, c.size), c.copied);
      if (c.size > 0) {
        EXPECT_STREQ(buffer, c.text);
      }
      EXPECT_EQ(buffer[c.size], '#');  // nothing written past the buffer
    }
  });
}

TEST_F(ControlsTest, EditNotifiesChangesOfItsText) {
  WithControl("Edit", WS_BORDER | ES_AUTOHSCROLL, [](HWND edit, Recorder& parent) {
    SetWindowTextA(edit, "C:\\fw.hex");
    SetWindowTextA(edit, "C:\\fw.hex");  // unchanged: no notification
    std::vector<WORD> codes;
    for (const Recorder::Entry& entry : parent.entries) {
      if (entry.message == WM_COMMAND && LOWORD(entry.wParam) == 77) {
        codes.push_back(HIWORD(entry.wParam));
      }
    }
    EXPECT_EQ(codes, (std::vector<WORD>{EN_UPDATE, EN_CHANGE}));
    char buffer[32];
    EXPECT_EQ(GetWindowTextA(edit, buffer, sizeof buffer), 9);
  });
}

TEST_F(ControlsTest, ButtonClickNotifiesItsParentUnlessDisabled) {
  WithControl("Button", BS_PUSHBUTTON, [](HWND button, Recorder& parent) {
    SendMessageA(button, BM_CLICK, 0, 0);
    EnableWindow(button, FALSE);
    SendMessageA(button, BM_CLICK, 0, 0);
    ASSERT_EQ(parent.Messages(WM_COMMAND).size(), 1u);
    const Recorder::Entry& click = parent.entries.front();
    EXPECT_EQ(click.wParam, MAKEWPARAM(77, BN_CLICKED));
    EXPECT_EQ(click.lParam, reinterpret_cast<LPARAM>(button));
    // BM_SETSTYLE replaces the button style; the rest of the style stays.
    SendMessageA(button, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EXPECT_EQ(GetWindowLongA(button, GWL_STYLE) & (BS_TYPEMASK | WS_DISABLED | WS_CHILD),
              static_cast<LONG>(BS_DEFPUSHBUTTON | WS_DISABLED | WS_CHILD));
    EXPECT_EQ(SendMessageA(button, WM_GETDLGCODE, 0, 0), DLGC_BUTTON | DLGC_DEFPUSHBUTTON);
  });
}

TEST_F(ControlsTest, EnableWindowAnswersThePreviousState) {
  WithControl("Button", BS_PUSHBUTTON, [](HWND button, Recorder&) {
    EXPECT_FALSE(EnableWindow(button, TRUE));  // was enabled
    EXPECT_FALSE(EnableWindow(button, FALSE));
    EXPECT_TRUE(EnableWindow(button, FALSE));  // was disabled
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_TRUE(EnableWindow(button, TRUE));
    EXPECT_TRUE(IsWindowEnabled(button));
  });
  // Each change shows; the repeated call does not.
  int disabled = 0;
  for (const std::string& text : UserEvents()) disabled += text == "disabled";
  EXPECT_EQ(disabled, 1);
}

}  // namespace
}  // namespace user32_testing
