// winsim: the user agent (see user_agent.h).
#include "harness/user_agent.h"

#include <algorithm>

#include "machine/machine.h"
#include "user32/user32_internal.h"

namespace winsim {

using namespace user32;

namespace {

Scheduler& Sched() { return Machine::Current().Sched(); }

VirtualTime DeadlineFor(VirtualTime timeout) { return timeout < 0 ? -1 : Sched().Now() + timeout; }

std::string WithoutMnemonic(std::string text) {
  const size_t tab = text.find('\t');
  if (tab != std::string::npos) text.resize(tab);
  std::erase(text, '&');
  return text;
}

// The text a control shows.
const std::string& ShownText(const Window& window) {
  static const std::string kNothing;
  if (const auto* combo = dynamic_cast<const ComboData*>(window.control.get())) {
    if ((window.style & 3) == CBS_DROPDOWNLIST) {
      return combo->selection >= 0 ? combo->items[static_cast<size_t>(combo->selection)] : kNothing;
    }
  }
  return window.text;
}

// Whether the user can reach the window: it is shown, enabled, and so is the
// top-level window it belongs to (a window under a modal box is disabled).
bool Reachable(const Window* window) {
  if (window == nullptr || !IsVisible(*window) || (window->style & WS_DISABLED) != 0) {
    return false;
  }
  const Window* root = Find(RootOf(window->handle));
  return root != nullptr && (root->style & WS_DISABLED) == 0;
}

Window* ChildOf(HWND window, int id) {
  Window* parent = Find(window);
  if (parent == nullptr) return nullptr;
  for (HWND child : parent->children) {
    Window* control = Find(child);
    if (control != nullptr && LOWORD(control->id) == LOWORD(id)) return control;
  }
  return nullptr;
}

HWND TopDialogOfKind(int kind) {
  const WindowSystem& sys = System();
  for (auto it = sys.topLevel.rbegin(); it != sys.topLevel.rend(); ++it) {
    Window* window = Find(*it);
    if (window != nullptr && IsVisible(*window) && window->dialog != nullptr &&
        window->dialog->kind == kind) {
      return *it;
    }
  }
  return nullptr;
}

ControlView ViewOf(const Window& control) {
  ControlView view;
  view.window = control.handle;
  view.id = static_cast<int>(control.id);
  if (control.id == 0xFFFF) view.id = -1;
  view.className = control.cls != nullptr ? control.cls->name : "";
  view.text = ShownText(control);
  view.visible = IsVisible(control);
  view.enabled = (control.style & WS_DISABLED) == 0;
  view.defaultButton =
      view.className == "Button" && (control.style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  view.rect = control.rect;
  return view;
}

}  // namespace

// ---- waiting ---------------------------------------------------------------------------------

bool UserAgent::IsIdle() const {
  const WindowSystem& sys = System();
  bool anyLive = false;
  for (const auto& [handle, window] : sys.windows) {
    if (!window->alive) continue;
    anyLive = true;
    const MessageQueue& queue = *window->queue;
    if (!queue.waiting || !queue.posted.empty() || !queue.sent.empty() || queue.quit) return false;
  }
  // Before the program has shown anything it is busy starting; once its
  // last window is gone there is nothing left to wait for.
  return anyLive || sys.windowsCreated > 0;
}

bool UserAgent::WaitIdle(VirtualTime timeout) {
  const VirtualTime deadline = DeadlineFor(timeout);
  while (!IsIdle()) {
    if (!Sched().WaitOn(&System().idleSignal, deadline, "user agent: waiting for the program")) {
      return false;
    }
  }
  return true;
}

bool UserAgent::WaitUntil(const std::function<bool()>& condition, VirtualTime timeout) {
  const VirtualTime deadline = DeadlineFor(timeout);
  for (;;) {
    const VirtualTime left = deadline < 0 ? -1 : std::max<VirtualTime>(0, deadline - Sched().Now());
    if (!WaitIdle(left)) return false;
    if (condition()) return true;
    if (!Sched().WaitOn(&System().idleSignal, deadline, "user agent: waiting for a change")) {
      return false;
    }
  }
}

bool UserAgent::WaitForText(HWND window, int id, std::string_view text, VirtualTime timeout) {
  return WaitUntil([&] { return Text(window, id) == text; }, timeout);
}

HWND UserAgent::WaitForWindow(std::string_view caption, VirtualTime timeout) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindWindow(caption)) != nullptr; }, timeout);
  return found;
}

std::optional<MessageBoxView> UserAgent::WaitForMessageBox(VirtualTime timeout) {
  std::optional<MessageBoxView> box;
  WaitUntil([&] { return (box = MessageBox()).has_value(); }, timeout);
  return box;
}

HWND UserAgent::WaitForFileDialog(VirtualTime timeout) {
  HWND dialog = nullptr;
  WaitUntil([&] { return (dialog = FileDialog()) != nullptr; }, timeout);
  return dialog;
}

void UserAgent::Wait(VirtualTime duration) { Sched().SleepUntil(Sched().Now() + duration); }

void UserAgent::SetWaitTick(VirtualTime step, std::function<void(VirtualTime)> tick) {
  tickStep_ = step;
  tick_ = std::move(tick);
}

void UserAgent::WaitIdleTicking() {
  const VirtualTime start = Sched().Now();
  while (!IsIdle()) {
    // With nothing else bound to happen the wait has no time-out, so the
    // scheduler can tell a hang.
    const bool ticks = tick_ && tickStep_ > 0 && Sched().HasPendingWork();
    if (!Sched().WaitOn(&System().idleSignal, ticks ? Sched().Now() + tickStep_ : -1,
                        "user agent: waiting for the program") &&
        ticks) {
      tick_(Sched().Now() - start);
    }
  }
}

// ---- looking ---------------------------------------------------------------------------------

HWND UserAgent::FindWindow(std::string_view caption) const {
  const WindowSystem& sys = System();
  for (auto it = sys.topLevel.rbegin(); it != sys.topLevel.rend(); ++it) {
    Window* window = Find(*it);
    if (window != nullptr && IsVisible(*window) && window->text == caption) return *it;
  }
  return nullptr;
}

HWND UserAgent::TopWindow() const {
  const WindowSystem& sys = System();
  for (auto it = sys.topLevel.rbegin(); it != sys.topLevel.rend(); ++it) {
    Window* window = Find(*it);
    if (window != nullptr && IsVisible(*window)) return *it;
  }
  return nullptr;
}

std::optional<MessageBoxView> UserAgent::MessageBox() const {
  HWND box = TopDialogOfKind(kMessageBoxKind);
  Window* window = Find(box);
  if (window == nullptr) return std::nullopt;
  MessageBoxView view;
  view.window = box;
  view.caption = window->text;
  for (HWND child : window->children) {
    Window* control = Find(child);
    if (control == nullptr) continue;
    if (control->id == 0xFFFF) view.text = control->text;
    if (auto* icon = dynamic_cast<StaticData*>(control->control.get());
        icon != nullptr && icon->icon) {
      if (Icon* shown = FindIcon(icon->icon)) view.icon = shown->name;
    }
    if (control->cls != nullptr && control->cls->name == "Button") {
      view.buttons.push_back(WithoutMnemonic(control->text));
    }
  }
  return view;
}

HWND UserAgent::FileDialog() const { return TopDialogOfKind(kFileDialogKind); }

std::optional<ControlView> UserAgent::Control(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  if (control == nullptr) return std::nullopt;
  return ViewOf(*control);
}

std::vector<ControlView> UserAgent::Controls(HWND window) const {
  std::vector<ControlView> views;
  if (Window* parent = Find(window)) {
    for (HWND child : parent->children) {
      if (Window* control = Find(child)) views.push_back(ViewOf(*control));
    }
  }
  return views;
}

bool UserAgent::ShowsText(HWND window,
                          const std::function<bool(const std::string&)>& matches) const {
  if (Window* parent = Find(window)) {
    for (HWND child : parent->children) {
      const Window* control = Find(child);
      if (control != nullptr && IsVisible(*control) && matches(ShownText(*control))) return true;
    }
  }
  return false;
}

std::string UserAgent::Text(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  return control != nullptr ? ShownText(*control) : std::string();
}

std::string UserAgent::Caption(HWND window) const {
  Window* top = Find(window);
  return top != nullptr ? top->text : std::string();
}

bool UserAgent::IsEnabled(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  return control != nullptr && (control->style & WS_DISABLED) == 0;
}

std::optional<ProgressView> UserAgent::Progress(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  auto* data = control != nullptr ? dynamic_cast<ProgressData*>(control->control.get()) : nullptr;
  if (data == nullptr) return std::nullopt;
  return ProgressView{data->low, data->high, data->pos};
}

std::optional<AnimationView> UserAgent::Animation(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  auto* data = control != nullptr ? dynamic_cast<AnimateData*>(control->control.get()) : nullptr;
  if (data == nullptr) return std::nullopt;
  return AnimationView{data->clip != nullptr, data->playing, data->frame,
                       data->clip != nullptr ? data->clip->FrameCount() : 0};
}

std::optional<ComboView> UserAgent::Combo(HWND window, int id) const {
  Window* control = ChildOf(window, id);
  auto* data = control != nullptr ? dynamic_cast<ComboData*>(control->control.get()) : nullptr;
  if (data == nullptr) return std::nullopt;
  return ComboView{data->items, data->selection};
}

std::vector<std::string> UserAgent::SystemMenuItems(HWND window) const {
  std::vector<std::string> items;
  Window* top = Find(window);
  if (top == nullptr || (top->style & WS_SYSMENU) == 0) return items;
  Menu* menu = FindMenu(top->systemMenu);
  if (menu == nullptr) {
    // Never asked for by the program: the standard menu.
    GetSystemMenu(window, FALSE);
    menu = FindMenu(top->systemMenu);
  }
  if (menu == nullptr) return items;
  for (const MenuItem& item : menu->items) {
    items.push_back((item.flags & MF_SEPARATOR) != 0 ? "" : WithoutMnemonic(item.text));
  }
  return items;
}

bool UserAgent::IsMinimized(HWND window) const { return IsIconic(window) != FALSE; }

std::vector<POINT> UserAgent::DrawnIcons(HWND window) const {
  std::vector<POINT> points;
  if (Window* top = Find(window)) {
    for (const DrawnIcon& icon : top->drawnIcons) points.push_back(POINT{icon.x, icon.y});
  }
  return points;
}

// ---- acting ----------------------------------------------------------------------------------

bool UserAgent::Act(std::string action, const std::function<bool()>& deliver) {
  if (!WaitIdle()) return false;
  texts_.clear();  // the program has read what the last action posted
  if (!deliver()) {
    Log("user cannot", {{"action", action}});
    return false;
  }
  Log("user", {{"action", action}});
  WaitIdleTicking();
  return true;
}

bool UserAgent::SelectItem(HWND window, int comboId, int index) {
  const std::string action =
      "select item " + std::to_string(index) + " of control " + std::to_string(comboId);
  return Act(action, [&] {
    Window* combo = ChildOf(window, comboId);
    auto* data = combo != nullptr ? dynamic_cast<ComboData*>(combo->control.get()) : nullptr;
    if (data == nullptr || !Reachable(combo) || index < 0 ||
        index >= static_cast<int>(data->items.size())) {
      return false;
    }
    return PostMessageA(combo->handle, kAgentSelectItem, static_cast<WPARAM>(index), 0) != FALSE;
  });
}

bool UserAgent::SelectItem(HWND window, int comboId, std::string_view text) {
  if (!WaitIdle()) return false;
  const std::optional<ComboView> combo = Combo(window, comboId);
  if (!combo.has_value()) return false;
  const auto it = std::find(combo->items.begin(), combo->items.end(), text);
  if (it == combo->items.end()) {
    Log("user cannot", {{"action", "select \"" + std::string(text) + "\""}});
    return false;
  }
  return SelectItem(window, comboId, static_cast<int>(it - combo->items.begin()));
}

bool UserAgent::TypeText(HWND window, int editId, std::string_view text) {
  return Act("type \"" + std::string(text) + "\"", [&] {
    Window* edit = ChildOf(window, editId);
    if (edit == nullptr || !Reachable(edit) || (edit->style & ES_READONLY) != 0) return false;
    texts_.push_back(std::make_unique<std::string>(text));
    return PostMessageA(edit->handle, kAgentTypeText, 0,
                        reinterpret_cast<LPARAM>(texts_.back()->c_str())) != FALSE;
  });
}

bool UserAgent::Click(HWND window, int buttonId) {
  Window* button = ChildOf(window, buttonId);
  const std::string name =
      button != nullptr ? "\"" + WithoutMnemonic(button->text) + "\"" : std::to_string(buttonId);
  return Act("click " + name, [&] {
    Window* target = ChildOf(window, buttonId);
    if (target == nullptr || !Reachable(target)) return false;
    return PostMessageA(target->handle, BM_CLICK, 0, 0) != FALSE;
  });
}

HWND UserAgent::KeyTarget(HWND window) const {
  if (window == nullptr) window = TopWindow();
  const HWND focus = GetFocus();
  if (focus != nullptr && RootOf(focus) == window) return focus;
  return window;
}

bool UserAgent::PressKey(HWND window, UINT message, WPARAM key, LPARAM flags, std::string action) {
  return Act(std::move(action), [&] {
    const HWND target = KeyTarget(window);
    Window* root = Find(RootOf(target));
    if (root == nullptr || !IsVisible(*root) || (root->style & WS_DISABLED) != 0) return false;
    const LPARAM down = 1 | flags;
    const LPARAM up = down | (1LL << 30) | (1LL << 31);
    PostMessageA(target, message, key, down);
    PostMessageA(target, message == WM_KEYDOWN ? WM_KEYUP : WM_SYSKEYUP, key, up);
    return true;
  });
}

bool UserAgent::PressEnter(HWND window) {
  return PressKey(window, WM_KEYDOWN, VK_RETURN, 0, "press Enter");
}

bool UserAgent::PressEscape(HWND window) {
  return PressKey(window, WM_KEYDOWN, VK_ESCAPE, 0, "press Escape");
}

bool UserAgent::PressAltF4(HWND window) {
  // With Alt held the key is a system key; bit 29 is the context code.
  return PressKey(window, WM_SYSKEYDOWN, VK_F4, 1 << 29, "press Alt+F4");
}

bool UserAgent::CloseBox(HWND window) {
  return Act("close box of " + Describe(window), [&] {
    Window* top = Find(window);
    if (top == nullptr || !Reachable(top) || (top->style & WS_SYSMENU) == 0) return false;
    return PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0) != FALSE;
  });
}

bool UserAgent::SystemCommand(HWND window, UINT command) {
  return Act("system command " + Hex(command), [&] {
    Window* top = Find(window);
    if (top == nullptr || !Reachable(top)) return false;
    return PostMessageA(window, WM_SYSCOMMAND, command, 0) != FALSE;
  });
}

bool UserAgent::ChooseSystemMenuItem(HWND window, std::string_view text) {
  if (!WaitIdle()) return false;
  Window* top = Find(window);
  Menu* menu = top != nullptr ? FindMenu(top->systemMenu) : nullptr;
  if (menu == nullptr && top != nullptr && (top->style & WS_SYSMENU) != 0) {
    SystemMenuItems(window);  // the standard menu
    menu = FindMenu(top->systemMenu);
  }
  if (menu != nullptr) {
    for (const MenuItem& item : menu->items) {
      if ((item.flags & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED | MF_POPUP)) != 0) continue;
      if (WithoutMnemonic(item.text) == text) {
        return SystemCommand(window, static_cast<UINT>(item.id));
      }
    }
  }
  Log("user cannot", {{"action", "choose \"" + std::string(text) + "\""}});
  return false;
}

bool UserAgent::Minimize(HWND window) { return SystemCommand(window, SC_MINIMIZE); }

bool UserAgent::AnswerMessageBox(int buttonId) {
  if (!WaitIdle()) return false;
  const std::optional<MessageBoxView> box = MessageBox();
  if (!box.has_value()) {
    Log("user cannot", {{"action", "answer a message box: none is shown"}});
    return false;
  }
  return Click(box->window, buttonId);
}

bool UserAgent::AnswerFileDialog(std::string_view path) {
  if (!WaitIdle()) return false;
  const HWND dialog = FileDialog();
  if (dialog == nullptr) {
    Log("user cannot", {{"action", "answer the file dialog: none is shown"}});
    return false;
  }
  return TypeText(dialog, 0x480, path) && Click(dialog, IDOK);
}

bool UserAgent::CancelFileDialog() {
  if (!WaitIdle()) return false;
  const HWND dialog = FileDialog();
  if (dialog == nullptr) return false;
  return Click(dialog, IDCANCEL);
}

}  // namespace winsim
