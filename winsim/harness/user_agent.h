// winsim: the user agent, the one way a test (or quillsim) plays the user of
// the program on a simulated machine.
//
// The agent runs on a simulated thread of its own (the test body inside
// Machine::Run, say), never on the program's user-interface thread. It acts
// only when the program is idle: every thread that owns windows is blocked in
// its message wait with nothing to deliver (or the program has shown windows
// and has none left). An action then delivers the input the way Windows
// does (posted to the window's queue: a click, a key, a system command) and
// waits until the program is idle again, so each call returns with the
// action's effects complete and runs stay deterministic.
//
// An action returns false, and does nothing, when the user could not do it:
// the window or control is missing, hidden or disabled, or its window is
// disabled under a modal box. Every action is written to the event log
// (kind User, text "user"), next to the visible changes that user32 logs.
//
// Waits take a time-out in virtual time (< 0: none). A wait that can never
// end becomes the scheduler's hang report.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ground/scheduler.h"

namespace winsim {

// A message box as the user sees it.
struct MessageBoxView {
  HWND window = nullptr;
  std::string caption;
  std::string text;
  std::string icon;  // "IDI_EXCLAMATION", "IDI_HAND", "IDI_QUESTION", "IDI_ASTERISK" or ""
  std::vector<std::string> buttons;  // in order, without the '&' of their mnemonics
};

// A control of a window as the user sees it.
struct ControlView {
  HWND window = nullptr;
  int id = 0;
  std::string className;
  std::string text;  // a drop-down list shows its selected item
  bool visible = false;
  bool enabled = false;
  bool defaultButton = false;
  RECT rect{};  // in the parent's client area, pixels
};

struct ProgressView {
  int low = 0;
  int high = 0;
  int pos = 0;
};

struct AnimationView {
  bool open = false;
  bool playing = false;
  unsigned frame = 0;
  unsigned frames = 0;
};

struct ComboView {
  std::vector<std::string> items;
  int selection = -1;
};

class UserAgent {
 public:
  UserAgent() = default;
  UserAgent(const UserAgent&) = delete;
  UserAgent& operator=(const UserAgent&) = delete;

  // ---- waiting ------------------------------------------------------------------------

  bool IsIdle() const;
  bool WaitIdle(VirtualTime timeout = -1);
  // Re-checks the condition each time the program is idle (or shows a
  // change) until it holds.
  bool WaitUntil(const std::function<bool()>& condition, VirtualTime timeout = -1);
  // Waits until control `id` of the window shows exactly `text`.
  bool WaitForText(HWND window, int id, std::string_view text, VirtualTime timeout = -1);
  // A visible top-level window with that caption; null on time-out.
  HWND WaitForWindow(std::string_view caption, VirtualTime timeout = -1);
  std::optional<MessageBoxView> WaitForMessageBox(VirtualTime timeout = -1);
  HWND WaitForFileDialog(VirtualTime timeout = -1);
  // Lets virtual time pass.
  void Wait(VirtualTime duration);
  // While an action waits for the program to become idle again, calls
  // `tick` every `step` of virtual time with the time waited so far (a live
  // display). It ticks only while something is bound to happen, so a wait
  // that can never end is still reported as a hang.
  void SetWaitTick(VirtualTime step, std::function<void(VirtualTime waited)> tick);

  // ---- looking ------------------------------------------------------------------------

  // The visible top-level window with that caption (the topmost of several).
  HWND FindWindow(std::string_view caption) const;
  // The topmost visible top-level window: the one that takes input.
  HWND TopWindow() const;
  std::optional<MessageBoxView> MessageBox() const;
  // The file dialog on screen, or null.
  HWND FileDialog() const;
  std::optional<ControlView> Control(HWND window, int id) const;
  std::vector<ControlView> Controls(HWND window) const;  // in tab order
  // Whether a visible control of the window shows a text that matches (what
  // Controls tells, without copying every control's view).
  bool ShowsText(HWND window, const std::function<bool(const std::string&)>& matches) const;
  std::string Text(HWND window, int id) const;
  std::string Caption(HWND window) const;
  bool IsEnabled(HWND window, int id) const;
  std::optional<ProgressView> Progress(HWND window, int id) const;
  std::optional<AnimationView> Animation(HWND window, int id) const;
  std::optional<ComboView> Combo(HWND window, int id) const;
  // The system menu's items ("" for a separator), as the user opens it.
  std::vector<std::string> SystemMenuItems(HWND window) const;
  bool IsMinimized(HWND window) const;
  // Icons drawn on the window's client area by its last paint: x, y.
  std::vector<POINT> DrawnIcons(HWND window) const;

  // ---- acting -------------------------------------------------------------------------

  // Picks an item of a combo box's list (by position or by its text); the
  // box notifies CBN_SELCHANGE when the selection changes.
  bool SelectItem(HWND window, int comboId, int index);
  bool SelectItem(HWND window, int comboId, std::string_view text);
  // Replaces an edit control's text with `text`, as typed.
  bool TypeText(HWND window, int editId, std::string_view text);
  // Clicks a button (BM_CLICK).
  bool Click(HWND window, int buttonId);
  // Keys go to the focused control of `window` (null: the top window), or
  // to the window itself when none of its controls has the focus.
  bool PressEnter(HWND window = nullptr);
  bool PressEscape(HWND window = nullptr);
  bool PressAltF4(HWND window = nullptr);
  // The caption's close box: WM_SYSCOMMAND SC_CLOSE.
  bool CloseBox(HWND window);
  // WM_SYSCOMMAND with any command value, as a system-menu item sends it.
  bool SystemCommand(HWND window, UINT command);
  // Chooses a system-menu item by its text (without '&' and the shortcut).
  bool ChooseSystemMenuItem(HWND window, std::string_view text);
  bool Minimize(HWND window);
  // Presses the button of the message box on top (IDOK, IDYES...).
  bool AnswerMessageBox(int buttonId);
  // Types a path into the file dialog's name box and presses Open; or
  // presses Cancel.
  bool AnswerFileDialog(std::string_view path);
  bool CancelFileDialog();

 private:
  bool Act(std::string action, const std::function<bool()>& deliver);
  // WaitIdle() with the wait tick.
  void WaitIdleTicking();
  HWND KeyTarget(HWND window) const;
  bool PressKey(HWND window, UINT message, WPARAM key, LPARAM flags, std::string action);

  // Texts the agent posts (typed text) live until the program has read them.
  std::vector<std::unique_ptr<std::string>> texts_;
  VirtualTime tickStep_ = 0;
  std::function<void(VirtualTime)> tick_;
};

}  // namespace winsim
