// user32: the desktop, window classes, windows and their ownership, window
// data, text, enable state, focus, visibility and DefWindowProcA.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ground/event_recording.h"
#include "machine/machine.h"
#include "user32/user32_internal.h"

namespace winsim {

namespace {
Desktop* g_desktop = nullptr;
}  // namespace

Desktop::Desktop(DesktopConfig config) : config_(std::move(config)) {
  if (g_desktop != nullptr) {
    std::fprintf(stderr, "winsim: a second Desktop was created while one exists\n");
    std::abort();
  }
  if (!config_.module_resources.empty()) {
    resources_ = std::make_unique<resources::ResourceFile>(
        resources::ResourceFile::Load(config_.module_resources));
  }
  system_ = std::make_unique<user32::WindowSystem>(*this);
  g_desktop = this;
  user32::RegisterSystemClass("Button", &user32::ButtonProc, 0);
  user32::RegisterSystemClass("Edit", &user32::EditProc, 0);
  user32::RegisterSystemClass("Static", &user32::StaticProc, 0);
  user32::RegisterSystemClass("ComboBox", &user32::ComboBoxProc, 0);
  // The dialog class keeps the DWLP_ values in its window data.
  user32::RegisterSystemClass("#32770", &user32::DialogClassProc,
                              std::max<int>(DLGWINDOWEXTRA, DWLP_USER + sizeof(LONG_PTR)));
}

Desktop::~Desktop() { g_desktop = nullptr; }

Desktop& Desktop::Current() {
  if (g_desktop == nullptr) {
    std::fprintf(stderr, "winsim: a window function was called without a winsim::Desktop\n");
    std::abort();
  }
  return *g_desktop;
}

Desktop* Desktop::CurrentOrNull() { return g_desktop; }

}  // namespace winsim

namespace winsim::user32 {

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// Frame sizes of the classic look (see GetSystemMetrics).
constexpr int kCaptionHeight = 19;
constexpr int kDialogFrame = 3;

void SetFrame(Window& window) {
  int frame = 0;
  if ((window.style & WS_DLGFRAME) != 0 || (window.exStyle & WS_EX_DLGMODALFRAME) != 0) {
    frame = kDialogFrame;
  } else if ((window.style & WS_BORDER) != 0) {
    frame = 1;
  }
  if ((window.exStyle & WS_EX_CLIENTEDGE) != 0) frame += 2;
  window.frameX = frame;
  window.frameTop = frame;
  window.frameBottom = frame;
  if ((window.style & WS_CAPTION) == WS_CAPTION) window.frameTop += kCaptionHeight;
}

const WindowClass* FindClassByAtom(ATOM atom) {
  for (const auto& [name, cls] : System().classes) {
    if (cls->atom == atom) return cls.get();
  }
  return nullptr;
}

void Invalidate(Window& window) {
  window.needsPaint = true;
  window.erasePending = true;
  for (HWND child : window.children) {
    if (Window* c = Find(child)) Invalidate(*c);
  }
}

bool IsWithin(HWND inner, HWND outer) {
  for (Window* w = Find(inner); w != nullptr; w = w->IsChild() ? Find(w->parent) : nullptr) {
    if (w->handle == outer) return true;
  }
  return false;
}

void DestroyTree(Window& window) {
  WindowSystem& sys = System();
  window.destroying = true;
  // Owned pop-ups (a message box over the dialog) go first.
  std::vector<HWND> owned;
  for (HWND top : sys.topLevel) {
    Window* w = Find(top);
    if (w != nullptr && w->owner == window.handle && !w->destroying) owned.push_back(top);
  }
  for (HWND top : owned) {
    if (Window* w = Find(top)) DestroyTree(*w);
  }
  if (sys.focus != nullptr && IsWithin(sys.focus, window.handle)) sys.focus = nullptr;
  if (sys.foreground == window.handle) sys.foreground = nullptr;
  window.style &= ~WS_VISIBLE;
  CallProc(window, WM_DESTROY, 0, 0);
  const std::vector<HWND> children = window.children;
  for (HWND child : children) {
    Window* c = Find(child);
    if (c != nullptr && !c->destroying) DestroyTree(*c);
  }
  CallProc(window, WM_NCDESTROY, 0, 0);
  LogWindow(window, "window destroyed");
  window.alive = false;
  window.control.reset();
  if (window.IsChild()) {
    if (Window* parent = Find(window.parent)) std::erase(parent->children, window.handle);
  } else {
    std::erase(sys.topLevel, window.handle);
  }
}

LONG_PTR ReadExtra(const Window& window, int index, size_t size) {
  if (index < 0 || static_cast<size_t>(index) + size > window.extra.size()) return 0;
  LONG_PTR value = 0;
  if (size == sizeof(LONG)) {
    LONG small = 0;
    std::memcpy(&small, window.extra.data() + index, sizeof small);
    value = small;
  } else {
    std::memcpy(&value, window.extra.data() + index, sizeof value);
  }
  return value;
}

LONG_PTR WriteExtra(Window& window, int index, size_t size, LONG_PTR value) {
  const LONG_PTR previous = ReadExtra(window, index, size);
  if (index < 0 || static_cast<size_t>(index) + size > window.extra.size()) return 0;
  if (size == sizeof(LONG)) {
    const LONG small = static_cast<LONG>(value);
    std::memcpy(window.extra.data() + index, &small, sizeof small);
  } else {
    std::memcpy(window.extra.data() + index, &value, sizeof value);
  }
  return previous;
}

LONG_PTR GetLong(HWND hWnd, int nIndex, size_t size) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  switch (nIndex) {
    case GWL_STYLE:
      return static_cast<LONG>(window->style);
    case GWL_EXSTYLE:
      return static_cast<LONG>(window->exStyle);
    case GWL_ID:
      return static_cast<LONG_PTR>(window->id);
    case GWLP_USERDATA:
      return window->userData;
    case GWLP_WNDPROC:
      return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_HINSTANCE:
      return reinterpret_cast<LONG_PTR>(window->instance);
    case GWLP_HWNDPARENT:
      return reinterpret_cast<LONG_PTR>(window->IsChild() ? window->parent : window->owner);
    default:
      return ReadExtra(*window, nIndex, size);
  }
}

LONG_PTR SetLong(HWND hWnd, int nIndex, LONG_PTR value, size_t size) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  LONG_PTR previous = GetLong(hWnd, nIndex, size);
  switch (nIndex) {
    case GWL_STYLE:
      window->style = static_cast<DWORD>(value);
      break;
    case GWL_EXSTYLE:
      window->exStyle = static_cast<DWORD>(value);
      break;
    case GWL_ID:
      window->id = static_cast<UINT_PTR>(value);
      break;
    case GWLP_USERDATA:
      window->userData = value;
      break;
    case GWLP_WNDPROC:
      window->proc = reinterpret_cast<WNDPROC>(value);
      break;
    case GWLP_HINSTANCE:
      window->instance = reinterpret_cast<HINSTANCE>(value);
      break;
    default:
      previous = WriteExtra(*window, nIndex, size, value);
      break;
  }
  return previous;
}

}  // namespace

WindowSystem::WindowSystem(Desktop& owner) : desktop(owner) {}

int Window::ClientWidth() const {
  if ((style & WS_MINIMIZE) != 0) return System().desktop.Config().minimized_client_width;
  return std::max<int>(0, rect.right - rect.left - 2 * frameX);
}

int Window::ClientHeight() const {
  if ((style & WS_MINIMIZE) != 0) return System().desktop.Config().minimized_client_height;
  return std::max<int>(0, rect.bottom - rect.top - frameTop - frameBottom);
}

WindowSystem& System() { return Desktop::Current().System(); }

Window* Find(HWND hwnd) {
  WindowSystem& sys = System();
  auto it = sys.windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == sys.windows.end() || !it->second->alive) return nullptr;
  return it->second.get();
}

uintptr_t NewHandle() {
  WindowSystem& sys = System();
  const uintptr_t handle = sys.nextHandle;
  sys.nextHandle += 4;
  return handle;
}

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Describe(const Window& window) {
  const std::string cls = window.cls != nullptr ? window.cls->name : "?";
  if (window.IsChild()) {
    return cls + " " + std::to_string(static_cast<int16_t>(window.id));
  }
  return cls + " \"" + window.text + "\"";
}

std::string Describe(HWND hwnd) {
  WindowSystem& sys = System();
  auto it = sys.windows.find(reinterpret_cast<uintptr_t>(hwnd));
  if (it == sys.windows.end())
    return hwnd == nullptr ? "(none)" : Hex(reinterpret_cast<uintptr_t>(hwnd));
  return Describe(*it->second);
}

void Log(std::string text, Fields fields) {
  if (Machine* machine = Machine::CurrentOrNull()) {
    machine->Log().Add(EventKind::User, std::move(text), std::move(fields));
  }
}

void LogWindow(const Window& window, std::string text, Fields fields) {
  if (EventRecording()) {
    fields.insert(fields.begin(), {"window", Describe(window)});
    fields.insert(fields.begin() + 1, {"hwnd", Hex(reinterpret_cast<uintptr_t>(window.handle))});
    Log(std::move(text), std::move(fields));
  }
  // A visible change: the user agent looks again.
  if (Machine::CurrentOrNull() != nullptr && Scheduler::Current() != nullptr) {
    WakeAll(&System().idleSignal);
  }
}

void RegisterSystemClass(const char* name, WNDPROC proc, int wndExtra, UINT style) {
  WindowSystem& sys = System();
  const std::string key = Lower(name);
  if (sys.classes.count(key) != 0) return;
  auto cls = std::make_unique<WindowClass>();
  cls->name = name;
  cls->proc = proc;
  cls->wndExtra = wndExtra;
  cls->style = style | CS_GLOBALCLASS;
  cls->atom = sys.nextAtom++;
  sys.classes.emplace(key, std::move(cls));
}

const WindowClass* FindClass(std::string_view name) {
  WindowSystem& sys = System();
  auto it = sys.classes.find(Lower(name));
  return it != sys.classes.end() ? it->second.get() : nullptr;
}

LRESULT CallProc(Window& window, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC proc = window.proc;
  return proc != nullptr ? proc(window.handle, message, wParam, lParam) : 0;
}

void NotifyParent(Window& control, UINT code) {
  Window* parent = Find(control.parent);
  if (parent == nullptr) return;
  SendMessageA(parent->handle, WM_COMMAND, MAKEWPARAM(control.id, code),
               reinterpret_cast<LPARAM>(control.handle));
}

void SetWindowTextInternal(Window& window, std::string text) {
  if (window.text == text) return;
  window.text = std::move(text);
  LogWindow(window, "text", {{"text", window.text}});
}

bool IsVisible(const Window& window) {
  for (const Window* w = &window; w != nullptr; w = w->IsChild() ? Find(w->parent) : nullptr) {
    if ((w->style & WS_VISIBLE) == 0) return false;
  }
  return true;
}

HWND RootOf(HWND hwnd) {
  Window* window = Find(hwnd);
  while (window != nullptr && window->IsChild()) {
    Window* parent = Find(window->parent);
    if (parent == nullptr) break;
    window = parent;
  }
  return window != nullptr ? window->handle : nullptr;
}

SIZE WindowSizeForClient(DWORD style, DWORD exStyle, int cx, int cy) {
  Window probe;
  probe.style = style;
  probe.exStyle = exStyle;
  SetFrame(probe);
  return SIZE{cx + 2 * probe.frameX, cy + probe.frameTop + probe.frameBottom};
}

POINT ClientOrigin(const Window& window) {
  POINT origin{window.rect.left + window.frameX, window.rect.top + window.frameTop};
  if (window.IsChild()) {
    if (Window* parent = Find(window.parent)) {
      const POINT parentOrigin = ClientOrigin(*parent);
      origin.x += parentOrigin.x;
      origin.y += parentOrigin.y;
    }
  }
  return origin;
}

}  // namespace winsim::user32

using namespace winsim::user32;

// ---- classes -------------------------------------------------------------------------------

extern "C" ATOM WINAPI RegisterClassA(CONST WNDCLASSA* lpWndClass) {
  if (lpWndClass == nullptr || lpWndClass->lpszClassName == nullptr ||
      lpWndClass->lpfnWndProc == nullptr) {
    return 0;
  }
  WindowSystem& sys = System();
  const std::string key = Lower(lpWndClass->lpszClassName);
  if (sys.classes.count(key) != 0) return 0;  // ERROR_CLASS_ALREADY_EXISTS
  auto cls = std::make_unique<WindowClass>();
  cls->name = lpWndClass->lpszClassName;
  cls->proc = lpWndClass->lpfnWndProc;
  cls->style = lpWndClass->style;
  cls->wndExtra = std::max(0, lpWndClass->cbWndExtra);
  cls->instance = lpWndClass->hInstance;
  cls->icon = lpWndClass->hIcon;
  cls->atom = sys.nextAtom++;
  const ATOM atom = cls->atom;
  sys.classes.emplace(key, std::move(cls));
  return atom;
}

// ---- creation and destruction -----------------------------------------------------------

extern "C" HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                                       DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                                       HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                       LPVOID lpParam) {
  WindowSystem& sys = System();
  const WindowClass* cls = nullptr;
  std::string className;
  if (lpClassName == nullptr) return nullptr;
  if (IS_INTRESOURCE(lpClassName)) {
    cls = FindClassByAtom(LOWORD(reinterpret_cast<uintptr_t>(lpClassName)));
    className = "#" + std::to_string(LOWORD(reinterpret_cast<uintptr_t>(lpClassName)));
  } else {
    className = lpClassName;
    cls = FindClass(className);
  }
  if (cls == nullptr) {
    Log("CreateWindowEx failed: class not registered", {{"class", className}});
    return nullptr;  // ERROR_CANNOT_FIND_WND_CLASS
  }
  Window* parent = nullptr;
  if ((dwStyle & WS_CHILD) != 0) {
    parent = Find(hWndParent);
    if (parent == nullptr) return nullptr;  // a child needs its parent
  }

  auto owned = std::make_unique<Window>();
  Window& window = *owned;
  window.handle = reinterpret_cast<HWND>(NewHandle());
  window.cls = cls;
  window.proc = cls->proc;
  window.queue = &CurrentQueue();
  window.style = dwStyle;
  window.exStyle = dwExStyle;
  window.instance = hInstance;
  window.extra.assign(static_cast<size_t>(cls->wndExtra), 0);
  if (parent != nullptr) {
    window.parent = parent->handle;
    window.id = reinterpret_cast<UINT_PTR>(hMenu);
  } else if (hWndParent != nullptr) {
    window.owner = RootOf(hWndParent);  // the owner of a pop-up is a top-level window
  }
  if (X == CW_USEDEFAULT) X = Y = 0;
  if (nWidth == CW_USEDEFAULT) {
    nWidth = 400;
    nHeight = 300;
  }
  window.rect = RECT{X, Y, X + nWidth, Y + nHeight};
  SetFrame(window);

  sys.windows.emplace(reinterpret_cast<uintptr_t>(window.handle), std::move(owned));
  ++sys.windowsCreated;
  if (parent != nullptr) {
    parent->children.push_back(window.handle);
  } else {
    sys.topLevel.push_back(window.handle);
  }

  CREATESTRUCTA create{};
  create.lpCreateParams = lpParam;
  create.hInstance = hInstance;
  create.hMenu = hMenu;
  create.hwndParent = hWndParent;
  create.cx = nWidth;
  create.cy = nHeight;
  create.x = X;
  create.y = Y;
  create.style = static_cast<LONG>(dwStyle);
  create.lpszName = lpWindowName;
  create.lpszClass = lpClassName;
  create.dwExStyle = dwExStyle;
  const HWND handle = window.handle;
  bool created = CallProc(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&create)) != 0;
  if (created && Find(handle) != nullptr) {
    created = CallProc(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) != -1;
  }
  if (!created || Find(handle) == nullptr) {
    if (Find(handle) != nullptr) DestroyTree(window);
    Log("CreateWindowEx failed: the window refused creation", {{"class", className}});
    return nullptr;
  }
  if ((window.style & WS_VISIBLE) != 0) Invalidate(window);
  char rect[96];
  std::snprintf(rect, sizeof rect, "%d,%d %dx%d", static_cast<int>(window.rect.left),
                static_cast<int>(window.rect.top),
                static_cast<int>(window.rect.right - window.rect.left),
                static_cast<int>(window.rect.bottom - window.rect.top));
  LogWindow(window, "window created",
            {{"class", cls->name},
             {"text", window.text},
             {"style", Hex(window.style)},
             {"rect", rect},
             {"parent", Hex(reinterpret_cast<uintptr_t>(window.parent))}});
  return handle;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
  Window* window = Find(hWnd);
  if (window == nullptr || window->destroying) return FALSE;
  // Only the thread that created a window may destroy it (ERROR_ACCESS_DENIED).
  if (window->queue != &CurrentQueue()) return FALSE;
  DestroyTree(*window);
  return TRUE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd) { return Find(hWnd) != nullptr ? TRUE : FALSE; }

extern "C" HWND WINAPI GetParent(HWND hWnd) {
  Window* window = Find(hWnd);
  if (window == nullptr) return nullptr;
  return window->IsChild() ? window->parent : window->owner;
}

extern "C" LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                                          LPARAM lParam) {
  return lpPrevWndFunc != nullptr ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

// ---- text -------------------------------------------------------------------------------

extern "C" BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString) {
  if (Find(hWnd) == nullptr) return FALSE;
  return SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) != 0 ? TRUE : FALSE;
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
  if (lpString == nullptr || nMaxCount <= 0) return 0;
  lpString[0] = '\0';
  if (Find(hWnd) == nullptr) return 0;
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                       reinterpret_cast<LPARAM>(lpString)));
}

extern "C" int WINAPI GetWindowTextLengthA(HWND hWnd) {
  if (Find(hWnd) == nullptr) return 0;
  return static_cast<int>(SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

// ---- window data ---------------------------------------------------------------------------

extern "C" LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex) {
  return static_cast<LONG>(GetLong(hWnd, nIndex, sizeof(LONG)));
}

extern "C" LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong) {
  return static_cast<LONG>(SetLong(hWnd, nIndex, dwNewLong, sizeof(LONG)));
}

extern "C" LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
  return GetLong(hWnd, nIndex, sizeof(LONG_PTR));
}

extern "C" LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  return SetLong(hWnd, nIndex, dwNewLong, sizeof(LONG_PTR));
}

// ---- state --------------------------------------------------------------------------------

extern "C" BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
  Window* window = Find(hWnd);
  if (window == nullptr) return FALSE;
  const bool wasDisabled = (window->style & WS_DISABLED) != 0;
  if (bEnable && wasDisabled) {
    window->style &= ~WS_DISABLED;
    LogWindow(*window, "enabled");
    SendMessageA(hWnd, WM_ENABLE, TRUE, 0);
  } else if (!bEnable && !wasDisabled) {
    window->style |= WS_DISABLED;
    // A disabled window cannot keep the keyboard focus.
    WindowSystem& sys = System();
    if (sys.focus != nullptr && IsWithin(sys.focus, hWnd)) SetFocus(nullptr);
    LogWindow(*window, "disabled");
    SendMessageA(hWnd, WM_ENABLE, FALSE, 0);
  }
  return wasDisabled ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsWindowEnabled(HWND hWnd) {
  Window* window = Find(hWnd);
  return window != nullptr && (window->style & WS_DISABLED) == 0 ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsWindowVisible(HWND hWnd) {
  Window* window = Find(hWnd);
  return window != nullptr && IsVisible(*window) ? TRUE : FALSE;
}

extern "C" HWND WINAPI SetFocus(HWND hWnd) {
  WindowSystem& sys = System();
  const HWND previous = sys.focus;
  if (hWnd == nullptr) {
    sys.focus = nullptr;
    if (Find(previous) != nullptr) SendMessageA(previous, WM_KILLFOCUS, 0, 0);
    return previous;
  }
  Window* window = Find(hWnd);
  // A thread sets the focus only to its own windows.
  if (window == nullptr || window->queue != &CurrentQueue()) return nullptr;
  if (hWnd == previous) return previous;
  sys.focus = hWnd;
  if (Find(previous) != nullptr) {
    SendMessageA(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
  }
  if (Find(hWnd) != nullptr) {
    SendMessageA(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  }
  return previous;
}

extern "C" HWND WINAPI GetFocus(VOID) { return System().focus; }

extern "C" BOOL WINAPI SetForegroundWindow(HWND hWnd) {
  WindowSystem& sys = System();
  const HWND root = RootOf(hWnd);
  if (root == nullptr) return FALSE;
  NoteActivity();
  if (sys.foreground != root) {
    sys.foreground = root;
    LogWindow(*Find(root), "foreground");
  }
  return TRUE;
}

extern "C" HWND WINAPI GetForegroundWindow(VOID) { return System().foreground; }

extern "C" HWND WINAPI GetActiveWindow(VOID) {
  WindowSystem& sys = System();
  if (sys.focus != nullptr) return RootOf(sys.focus);
  return sys.foreground;
}

extern "C" BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
  Window* window = Find(hWnd);
  if (window == nullptr) return FALSE;
  WindowSystem& sys = System();
  const bool wasVisible = (window->style & WS_VISIBLE) != 0;
  const bool minimized = (window->style & WS_MINIMIZE) != 0;
  auto show = [&] {
    if ((window->style & WS_VISIBLE) != 0) return;
    window->style |= WS_VISIBLE;
    SendMessageA(hWnd, WM_SHOWWINDOW, TRUE, 0);
    LogWindow(*window, "shown");
    Invalidate(*window);
  };
  switch (nCmdShow) {
    case SW_HIDE:
      if (wasVisible) {
        window->style &= ~WS_VISIBLE;
        SendMessageA(hWnd, WM_SHOWWINDOW, FALSE, 0);
        if (sys.focus != nullptr && IsWithin(sys.focus, hWnd)) sys.focus = nullptr;
        LogWindow(*window, "hidden");
      }
      break;
    case SW_MINIMIZE:
    case SW_SHOWMINIMIZED:
    case SW_SHOWMINNOACTIVE:
      show();
      if (!minimized && !window->IsChild()) {
        window->style |= WS_MINIMIZE;
        // A minimised window keeps the activation but not the keyboard focus.
        if (sys.focus != nullptr && IsWithin(sys.focus, hWnd)) SetFocus(nullptr);
        LogWindow(*window, "minimised");
        SendMessageA(hWnd, WM_SIZE, SIZE_MINIMIZED,
                     MAKELPARAM(window->ClientWidth(), window->ClientHeight()));
        Invalidate(*window);
      }
      break;
    case SW_RESTORE:
    case SW_SHOWNORMAL:
      show();
      if (minimized) {
        window->style &= ~WS_MINIMIZE;
        LogWindow(*window, "restored");
        SendMessageA(hWnd, WM_SIZE, SIZE_RESTORED,
                     MAKELPARAM(window->ClientWidth(), window->ClientHeight()));
        Invalidate(*window);
      }
      break;
    default:
      show();
      break;
  }
  return wasVisible ? TRUE : FALSE;
}

extern "C" BOOL WINAPI IsIconic(HWND hWnd) {
  Window* window = Find(hWnd);
  return window != nullptr && (window->style & WS_MINIMIZE) != 0 ? TRUE : FALSE;
}

extern "C" BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
  Window* window = Find(hWnd);
  if (window == nullptr || lpRect == nullptr) return FALSE;
  *lpRect = RECT{0, 0, window->ClientWidth(), window->ClientHeight()};
  return TRUE;
}

extern "C" BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
  Window* window = Find(hWnd);
  if (window == nullptr || lpRect == nullptr) return FALSE;
  *lpRect = window->rect;
  if (window->IsChild()) {
    if (Window* parent = Find(window->parent)) {
      const POINT origin = ClientOrigin(*parent);
      lpRect->left += origin.x;
      lpRect->right += origin.x;
      lpRect->top += origin.y;
      lpRect->bottom += origin.y;
    }
  }
  return TRUE;
}

// ---- default processing ----------------------------------------------------------------

extern "C" LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  switch (Msg) {
    case WM_NCCREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      // A name starting with 0xFF is a resource ordinal (a static's icon),
      // not text.
      if (create != nullptr && create->lpszName != nullptr &&
          static_cast<unsigned char>(create->lpszName[0]) != 0xFF) {
        window->text = create->lpszName;
      }
      return TRUE;
    }
    case WM_SETTEXT:
      SetWindowTextInternal(*window, lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "");
      return TRUE;
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      const size_t count = std::min<size_t>(window->text.size(), wParam - 1);
      std::memcpy(reinterpret_cast<char*>(lParam), window->text.data(), count);
      reinterpret_cast<char*>(lParam)[count] = '\0';
      return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(window->text.size());
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    case WM_SYSCOMMAND:
      switch (wParam & 0xFFF0) {
        case SC_CLOSE:
          SendMessageA(hWnd, WM_CLOSE, 0, 0);
          break;
        case SC_MINIMIZE:
          ShowWindow(hWnd, SW_MINIMIZE);
          break;
        case SC_RESTORE:
          ShowWindow(hWnd, SW_RESTORE);
          break;
        default:
          // Moving, sizing and maximising are interactive and change nothing
          // winsim shows; an application's own commands have no default.
          break;
      }
      return 0;
    case WM_SYSKEYDOWN:
      // Alt+F4 closes the top-level window.
      if (wParam == VK_F4 && (lParam & (1 << 29)) != 0) {
        SendMessageA(RootOf(hWnd), WM_SYSCOMMAND, SC_CLOSE, 0);
      }
      return 0;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      BeginPaint(hWnd, &paint);
      EndPaint(hWnd, &paint);
      return 0;
    }
    case WM_ERASEBKGND:
    case WM_ICONERASEBKGND:
      return 1;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<LRESULT>(window->cls != nullptr ? window->cls->icon : nullptr);
    case WM_SETICON: {
      HICON& slot = wParam == ICON_BIG ? window->bigIcon : window->smallIcon;
      const HICON previous = slot;
      slot = reinterpret_cast<HICON>(lParam);
      LogWindow(*window, wParam == ICON_BIG ? "big icon set" : "small icon set",
                {{"icon", FindIcon(slot) != nullptr ? FindIcon(slot)->name : "(none)"}});
      return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETICON:
      return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? window->bigIcon : window->smallIcon);
    case WM_SETFONT:
      window->font = reinterpret_cast<HFONT>(wParam);
      return 0;
    case WM_GETFONT:
      return reinterpret_cast<LRESULT>(window->font);
    default:
      return 0;
  }
}
