// quill-wine-test: starts the real quillprog.exe and drives its windows from
// this separate process with documented Win32 calls only, checking what a
// user sees: the start-up warning, the main dialog's controls and layout, the
// about box, Program without a device, Refresh, and every way of ending.
//
//   quill-wine-test.exe QUILLPROG.EXE [SHOTS-DIR]
//
// Each check prints "PASS name" or "FAIL name: detail"; the exit code is the
// number of failed checks. With SHOTS-DIR, the test asks for screenshots by
// writing "<name>.req" (the window's screen rectangle "x y width height")
// there and waits until the file is gone; scripts/wine-test.sh answers with
// an X screenshot cropped to that rectangle, "<name>.png".
//
// Things that do not work across processes (and so are avoided here):
// GetWindowText of another process's edit control (WM_GETTEXT is sent
// instead), GetSystemMenu of another process's window (the About item's text
// is read from the exe's string table), MapDialogRect of another process's
// dialog (dialog units are mapped on a dialog of our own with the same font).

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "quill_version.h"
#include "wine_checks.h"

namespace {

using namespace wine_checks;

std::string Hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", value);
  return text;
}

// --- Windows of another process ---------------------------------------------

constexpr DWORD kExitTimeoutMs = 60000;

std::string SentText(HWND window) {
  char text[1024] = "";
  Send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

DWORD StyleOf(HWND window) { return static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)); }
DWORD ExStyleOf(HWND window) { return static_cast<DWORD>(GetWindowLongA(window, GWL_EXSTYLE)); }

BOOL CALLBACK CollectAll(HWND window, LPARAM param) {
  reinterpret_cast<WindowSearch*>(param)->found.push_back(window);
  return TRUE;
}

HWND WaitForTopWindow(DWORD process, const std::function<bool(HWND)>& match,
                      DWORD timeoutMs = kWindowTimeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND window : VisibleTopWindows(process)) {
          if (match(window)) {
            found = window;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

std::vector<HWND> ChildrenInZOrder(HWND parent) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

// The child windows that EnumChildWindows reports (all descendants).
std::vector<HWND> Descendants(HWND parent) {
  WindowSearch search{0, {}};
  EnumChildWindows(parent, CollectAll, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool IsClass(HWND window, const char* name) {
  return lstrcmpiA(ClassOf(window).c_str(), name) == 0;
}

std::string MessageBoxText(HWND box) { return TextOf(GetDlgItem(box, 0xFFFF)); }

RECT ClientRectIn(HWND control, HWND dialog) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

std::string RectText(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + " " +
         std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top);
}

bool SameRect(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

// A key pressed while the dialog's thread has the focus: the dialog's own
// message loop turns Escape and Enter into its commands.
void PressKey(HWND dialog, WPARAM key) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  HWND target = dialog;
  if (GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info) && info.hwndFocus) {
    target = info.hwndFocus;
  }
  const UINT scan = MapVirtualKeyA(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
  PostMessageA(target, WM_KEYDOWN, key, 1 | (scan << 16));
  PostMessageA(target, WM_KEYUP, key, 1 | (scan << 16) | 0xC0000000u);
}

// --- Pixels ------------------------------------------------------------------

using Pixels = std::vector<DWORD>;

// Runs `draw` on a 32-bit top-down DIB of the given size and returns its
// pixels (alpha cleared).
Pixels Render(int width, int height, const std::function<void(HDC)>& draw) {
  Pixels pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap && bits) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    draw(memory);
    GdiFlush();
    const DWORD* begin = static_cast<const DWORD*>(bits);
    pixels.assign(begin, begin + width * height);
    for (DWORD& p : pixels) p &= 0x00FFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// What the screen shows inside a window.
Pixels ScreenPixels(HWND window, int* width, int* height) {
  RECT rect{};
  GetWindowRect(window, &rect);
  *width = rect.right - rect.left;
  *height = rect.bottom - rect.top;
  return Render(*width, *height, [&](HDC memory) {
    HDC screen = GetDC(nullptr);
    BitBlt(memory, 0, 0, *width, *height, screen, rect.left, rect.top, SRCCOPY);
    ReleaseDC(nullptr, screen);
  });
}

// An icon drawn at the top left of a field of `background`, as an icon
// static control draws it.
Pixels IconPixels(HICON icon, int width, int height, DWORD background) {
  return Render(width, height, [&](HDC memory) {
    HBRUSH brush =
        CreateSolidBrush(RGB(GetBValue(background), GetGValue(background), GetRValue(background)));
    RECT all{0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIconEx(memory, 0, 0, icon, 0, 0, 0, nullptr, DI_NORMAL);
  });
}

int DifferingPixels(const Pixels& a, const Pixels& b) {
  if (a.size() != b.size() || a.empty()) return -1;
  int count = 0;
  for (size_t i = 0; i < a.size(); ++i) count += a[i] != b[i];
  return count;
}

// The icon static control among a dialog's children, if any.
HWND IconControl(HWND dialog) {
  for (HWND child : Descendants(dialog)) {
    if (IsClass(child, "Static") && (StyleOf(child) & SS_TYPEMASK) == SS_ICON) return child;
  }
  return nullptr;
}

struct IconMatch {
  std::string best;  // name of the candidate that matches exactly, or empty
  std::string detail;
};

// Which of the candidate icons the icon control shows on the screen: the one
// whose drawing on the control's background gives exactly its pixels.
IconMatch ShownIconOnce(HWND control,
                        const std::vector<std::pair<std::string, HICON>>& candidates) {
  IconMatch match;
  int width = 0, height = 0;
  const Pixels shown = ScreenPixels(control, &width, &height);
  if (shown.empty()) {
    match.detail = "cannot read the screen";
    return match;
  }
  const DWORD background = shown[0];  // icons leave their corners transparent
  for (const auto& [name, icon] : candidates) {
    const int differing = DifferingPixels(shown, IconPixels(icon, width, height, background));
    match.detail += name + ": " + std::to_string(differing) + " pixels differ; ";
    if (differing == 0) match.best = name;
  }
  match.detail += "control " + std::to_string(width) + "x" + std::to_string(height);
  return match;
}

// The same, given a few seconds for a window that has just opened to paint.
IconMatch ShownIcon(HWND control, const std::vector<std::pair<std::string, HICON>>& candidates) {
  IconMatch match;
  WaitUntil([&] { return !(match = ShownIconOnce(control, candidates)).best.empty(); }, 5000);
  return match;
}

// --- What quillprog shows ------------------------------------------------------

const char kTitle[] = "quillprog";  // the exe's name: the caption of every message box
const char kMainCaption[] = "Q417 Firmware Programmer";
const char kAboutCaption[] = "About Q417 Firmware Programmer";
// The release's major and minor version (VERSION, through quill_version.h).
#define QUILL_TEXT_OF(number) #number
#define QUILL_TEXT(number) QUILL_TEXT_OF(number)
const char kAboutText[] = "Q417 FW Programmer Version " QUILL_TEXT(
    QUILL_VERSION_MAJOR) "." QUILL_TEXT(QUILL_VERSION_MINOR);
const char kAboutItem[] = "&About Q417 Firmware Programmer...";
const char kRemovableMediaWarning[] =
    "If the device contains removable media, please remove the disk.  If the media cannot be "
    "removed, please use "
    "the unplug/eject applet to stop the device, then unplug and replug the USB cable.  This will "
    "prevent any data "
    "loss while updating firmware.\n\nPress OK when complete.";
const char kSelectFirst[] = "Please select a device and file before programming!";

constexpr int kClose = IDOK, kProgram = 1000, kDeviceList = 1002, kFilePath = 1003, kBrowse = 1004,
              kRefresh = 1005, kProgress = 1006, kStatus = 1008, kAnimation = 1009;
constexpr int kNoId = -1;
constexpr int kAboutItemCommand = 0x0010;
constexpr int kAboutItemString = 101;
constexpr int kMainIcon = 128;

// The four buttons the dialog disables while it works, in its order.
constexpr int kFourButtons[] = {kRefresh, kBrowse, kClose, kProgram};

enum Border { kNoBorder, kBorder };

// One control of template 102, in tab order.
struct Control {
  int id;
  const char* name;  // for the check names
  const char* className;
  const char* text;  // nullptr: the text is not the template's to give
  DWORD style;       // the bits of `mask` that must be set
  DWORD mask;        // class-specific style bits checked exactly
  Border border;
  int x, y, width, height;  // dialog units
};

// Window style bits checked on every control besides the class's own.
constexpr DWORD kCommonMask = WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP;
constexpr DWORD kButtonMask = BS_TYPEMASK;
constexpr DWORD kComboMask =
    0x3 | CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE | CBS_SORT | CBS_NOINTEGRALHEIGHT;
constexpr DWORD kStaticMask = SS_TYPEMASK | SS_CENTERIMAGE | SS_NOPREFIX;
constexpr DWORD kEditMask =
    ES_CENTER | ES_RIGHT | ES_MULTILINE | ES_PASSWORD | ES_AUTOHSCROLL | ES_READONLY;
constexpr DWORD kAnimateMask = ACS_CENTER | ACS_TRANSPARENT | ACS_AUTOPLAY | ACS_TIMER;

const Control kMainControls[] = {
    {kClose, "Close", "Button", "Close", BS_DEFPUSHBUTTON | WS_TABSTOP, kButtonMask, kNoBorder, 99,
     108, 50, 14},
    {kProgram, "Program", "Button", "Program", BS_PUSHBUTTON | WS_TABSTOP, kButtonMask, kNoBorder,
     33, 108, 50, 14},
    {kDeviceList, "device list", "ComboBox", nullptr,
     CBS_DROPDOWNLIST | CBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_TABSTOP, kComboMask, kNoBorder, 7,
     18, 167, 86},
    {kNoId, "Select Device label", "Static", "Select Device:", SS_LEFT | WS_GROUP, kStaticMask,
     kNoBorder, 7, 6, 48, 8},
    {kFilePath, "file path", "Edit", "", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, kEditMask, kBorder,
     7, 54, 167, 14},
    {kNoId, "Select File label", "Static", "Select File:", SS_LEFT | WS_GROUP, kStaticMask,
     kNoBorder, 7, 42, 36, 8},
    {kBrowse, "Browse", "Button", "Browse", BS_PUSHBUTTON | WS_TABSTOP, kButtonMask, kNoBorder, 195,
     54, 50, 14},
    {kRefresh, "Refresh", "Button", "Refresh", BS_PUSHBUTTON | WS_TABSTOP, kButtonMask, kNoBorder,
     195, 18, 50, 14},
    {kProgress, "progress bar", PROGRESS_CLASSA, nullptr, 0, 0, kBorder, 7, 79, 167, 14},
    {kStatus, "status line", "Static", "", SS_CENTER | SS_CENTERIMAGE | WS_GROUP, kStaticMask,
     kNoBorder, 7, 93, 167, 8},
    {kAnimation, "animation", ANIMATE_CLASSA, nullptr, ACS_CENTER | WS_TABSTOP, kAnimateMask,
     kBorder, 195, 79, 50, 43},
};

// --- Dialog units and twins ----------------------------------------------------

// A hidden dialog of our own, built in memory from the table above with the
// main dialog's size and font (MS Sans Serif 8). MapDialogRect on it turns
// dialog units into pixels as the main dialog's creation does (MapDialogRect
// does not work on another process's dialog), and each of its controls is a
// twin of quillprog's: made by this system from the template's style, it
// shows what the system turns that style into.
class TwinDialog {
 public:
  TwinDialog() {
    std::vector<WORD> t;
    auto dword = [&](DWORD v) {
      t.push_back(LOWORD(v));
      t.push_back(HIWORD(v));
    };
    auto text = [&](const char* chars) {
      for (const char* c = chars; *c; ++c) t.push_back(static_cast<WORD>(*c));
      t.push_back(0);
    };
    dword(DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU);  // not visible
    dword(WS_EX_APPWINDOW);
    t.push_back(static_cast<WORD>(std::size(kMainControls)));
    for (WORD v : {0, 0, 252, 129}) t.push_back(v);
    t.push_back(0);  // no menu
    t.push_back(0);  // the dialog class
    t.push_back(0);  // no caption
    t.push_back(8);
    text("MS Sans Serif");
    for (const Control& c : kMainControls) {
      if (t.size() % 2) t.push_back(0);  // items start on a DWORD boundary
      dword(WS_CHILD | WS_VISIBLE | c.style | (c.border == kBorder ? WS_BORDER : 0));
      dword(0);
      for (int v : {c.x, c.y, c.width, c.height}) t.push_back(static_cast<WORD>(v));
      t.push_back(static_cast<WORD>(c.id));
      text(c.className);
      text(c.text ? c.text : "");
      t.push_back(0);  // no creation data
    }
    window_ = CreateDialogIndirectParamA(
        GetModuleHandleA(nullptr), reinterpret_cast<LPCDLGTEMPLATEA>(t.data()), nullptr, Ignore, 0);
  }
  ~TwinDialog() {
    if (window_) DestroyWindow(window_);
  }
  TwinDialog(const TwinDialog&) = delete;
  TwinDialog& operator=(const TwinDialog&) = delete;

  bool Ready() const { return window_ != nullptr; }
  HWND Window() const { return window_; }

  // The pixel rectangle of a template item: position and size are converted
  // separately, as the dialog manager does.
  RECT Map(int x, int y, int width, int height) const {
    RECT origin{x, y, 0, 0}, size{width, height, 0, 0};
    MapDialogRect(window_, &origin);
    MapDialogRect(window_, &size);
    return RECT{origin.left, origin.top, origin.left + size.left, origin.top + size.top};
  }

  // The twin of the control at `index` of the table.
  HWND TwinOf(size_t index) const {
    std::vector<HWND> children = ChildrenInZOrder(window_);
    return index < children.size() ? children[index] : nullptr;
  }

 private:
  static INT_PTR CALLBACK Ignore(HWND, UINT, WPARAM, LPARAM) { return FALSE; }
  HWND window_ = nullptr;
};

// --- The program under test ------------------------------------------------------

class Screenshots {
 public:
  explicit Screenshots(std::string folder) : folder_(std::move(folder)) {}

  // Asks for a screenshot of the window and waits until it is taken.
  void Take(const std::string& name, HWND window) {
    if (folder_.empty()) return;
    Sleep(500);  // let the window finish painting
    RECT rect{};
    GetWindowRect(window, &rect);
    const std::string base = folder_ + "\\" + name;
    const std::string pending = base + ".tmp", request = base + ".req", picture = base + ".png";
    DeleteFileA(picture.c_str());
    if (FILE* file = std::fopen(pending.c_str(), "w")) {
      std::fprintf(file, "%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                   rect.bottom - rect.top);
      std::fclose(file);
    }
    MoveFileA(pending.c_str(), request.c_str());
    const bool served =
        WaitUntil([&] { return GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES; });
    Check("screenshot " + name,
          served && GetFileAttributesA(picture.c_str()) != INVALID_FILE_ATTRIBUTES,
          "no " + picture);
  }

 private:
  std::string folder_;
};

// Starts quillprog, checks the warning it opens with and answers it; returns
// the main dialog once it is shown.
HWND StartAndPassWarning(const Program& program, const std::string& label, Screenshots* shots) {
  Check(label + ": process starts", program.Started(),
        "CreateProcessA failed, error " + std::to_string(GetLastError()));
  if (!program.Started()) return nullptr;

  // The first window shown must be the warning; the main dialog may exist
  // already but stays hidden while the warning is up.
  std::vector<HWND> shown;
  WaitUntil([&] { return !(shown = VisibleTopWindows(program.Id())).empty(); });
  Check(label + ": the first window shown is one message box",
        shown.size() == 1 && IsMessageBox(shown[0]),
        std::to_string(shown.size()) + " windows shown" +
            (shown.empty() ? "" : ", first " + ClassOf(shown[0]) + " " + Quoted(TextOf(shown[0]))));
  if (shown.size() != 1 || !IsMessageBox(shown[0])) return nullptr;
  HWND box = shown[0];
  CheckText(label + ": warning text", MessageBoxText(box), kRemovableMediaWarning);

  if (shots) {
    CheckText("warning caption is the application title", TextOf(box), kTitle);
    std::vector<std::pair<std::string, HWND>> buttons;
    for (HWND child : Descendants(box)) {
      if (IsClass(child, "Button") && IsWindowVisible(child))
        buttons.emplace_back(TextOf(child), child);
    }
    Check(
        "warning has one button, OK (IDOK)",
        buttons.size() == 1 && buttons[0].first == "OK" && GetDlgCtrlID(buttons[0].second) == IDOK,
        std::to_string(buttons.size()) + " buttons" +
            (buttons.empty() ? "" : ", first " + Quoted(buttons[0].first)));
    HWND icon = IconControl(box);
    Check("warning shows an icon", icon != nullptr, "no SS_ICON static control");
    if (icon) {
      const IconMatch match = ShownIcon(icon, {{"exclamation", LoadIconA(nullptr, IDI_EXCLAMATION)},
                                               {"hand", LoadIconA(nullptr, IDI_HAND)},
                                               {"asterisk", LoadIconA(nullptr, IDI_ASTERISK)},
                                               {"question", LoadIconA(nullptr, IDI_QUESTION)}});
      Check("warning icon is the exclamation icon", match.best == "exclamation", match.detail);
    }
    shots->Take("startup-warning", box);
  }

  PressButton(box, IDOK);
  HWND dialog = WaitForTopWindow(
      program.Id(), [](HWND w) { return IsClass(w, "#32770") && GetDlgItem(w, kDeviceList); });
  Check(label + ": the main dialog appears after OK", dialog != nullptr && !IsWindow(box),
        dialog ? "the warning is still there" : "no main dialog");
  return dialog;
}

void CheckMainDialog(HWND dialog, const TwinDialog& twins) {
  CheckText("main dialog caption", TextOf(dialog), kMainCaption);
  const DWORD style = StyleOf(dialog), exStyle = ExStyleOf(dialog);
  const DWORD wantStyle = WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU;
  Check("main dialog style: pop-up, visible, caption, system menu",
        (style & wantStyle) == wantStyle, Hex(style));
  Check("main dialog style: modal frame",
        (style & DS_MODALFRAME) || (exStyle & WS_EX_DLGMODALFRAME),
        Hex(style) + ", extended " + Hex(exStyle));
  Check("main dialog extended style: app window", (exStyle & WS_EX_APPWINDOW) != 0, Hex(exStyle));
  RECT client{};
  GetClientRect(dialog, &client);
  const RECT wantClient = twins.Map(0, 0, 252, 129);
  Check("main dialog client area is 252 x 129 dialog units", SameRect(client, wantClient),
        "got " + RectText(client) + ", want " + RectText(wantClient));

  // Tab order is the order of the dialog's children.
  const std::vector<HWND> children = ChildrenInZOrder(dialog);
  std::string gotOrder, wantOrder;
  for (HWND child : children)
    gotOrder += std::to_string(GetDlgCtrlID(child)) + ":" + ClassOf(child) + " ";
  for (const Control& c : kMainControls)
    wantOrder += std::to_string(c.id) + ":" + c.className + " ";
  Check(
      "tab order: ids and classes of the children",
      children.size() == std::size(kMainControls) &&
          [&] {
            for (size_t i = 0; i < children.size(); ++i) {
              if (GetDlgCtrlID(children[i]) != kMainControls[i].id ||
                  !IsClass(children[i], kMainControls[i].className))
                return false;
            }
            return true;
          }(),
      "got " + gotOrder + "want " + wantOrder);
  if (children.size() != std::size(kMainControls)) return;

  for (size_t i = 0; i < children.size(); ++i) {
    const Control& c = kMainControls[i];
    HWND control = children[i];
    const std::string name = std::string("control ") + c.name;
    if (c.id != kNoId) Check(name + ": GetDlgItem finds it", GetDlgItem(dialog, c.id) == control);
    if (c.text)
      CheckText(name + ": text", IsClass(control, "Edit") ? SentText(control) : TextOf(control),
                c.text);

    // The template's bits that a control keeps as they are.
    const DWORD s = StyleOf(control), ex = ExStyleOf(control);
    const DWORD mask = kCommonMask | c.mask;
    const DWORD wantBits = (WS_CHILD | WS_VISIBLE | c.style) & mask;
    Check(name + ": style", (s & mask) == wantBits,
          "got " + Hex(s & mask) + ", want " + Hex(wantBits));
    // The whole style against the twin, which the system made from the
    // template's style: this covers what a control changes on creation (a
    // combo box moves WS_VSCROLL to its list; under Wine a progress bar
    // drops WS_BORDER and draws its frame itself).
    HWND twin = twins.TwinOf(i);
    Check(name + ": style and extended style as made from the template",
          twin && s == StyleOf(twin) && ex == ExStyleOf(twin),
          "got " + Hex(s) + "/" + Hex(ex) + ", twin " +
              (twin ? Hex(StyleOf(twin)) + "/" + Hex(ExStyleOf(twin)) : "none"));

    RECT want = twins.Map(c.x, c.y, c.width, c.height);
    RECT got = ClientRectIn(control, dialog);
    if (c.id == kDeviceList && twin) {
      // A closed drop-down list is one line high; the template's height is
      // the dropped-down one, which the twin shows for this system.
      RECT dropped{}, twinDropped{};
      Send(control, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
      MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&dropped), 2);
      SendMessageA(twin, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&twinDropped));
      MapWindowPoints(HWND_DESKTOP, twins.Window(), reinterpret_cast<POINT*>(&twinDropped), 2);
      Check(name + ": dropped-down rectangle", SameRect(dropped, twinDropped),
            "got " + RectText(dropped) + ", twin " + RectText(twinDropped));
      want.bottom = want.top + (got.bottom - got.top);  // the closed height is the font's
    }
    Check(name + ": position and size " + std::to_string(c.x) + "," + std::to_string(c.y) + " " +
              std::to_string(c.width) + "x" + std::to_string(c.height) + " DLU",
          SameRect(got, want), "got " + RectText(got) + ", want " + RectText(want));
  }

  // The state the dialog starts in.
  HWND list = GetDlgItem(dialog, kDeviceList);
  HWND progress = GetDlgItem(dialog, kProgress);
  CheckNumber("start: the device list is empty", Send(list, CB_GETCOUNT, 0, 0), 0);
  CheckNumber("start: nothing is selected", Send(list, CB_GETCURSEL, 0, 0), CB_ERR);
  CheckNumber("start: progress range low", Send(progress, PBM_GETRANGE, TRUE, 0), 0);
  CheckNumber("start: progress range high", Send(progress, PBM_GETRANGE, FALSE, 0), 100);
  CheckNumber("start: progress position", Send(progress, PBM_GETPOS, 0, 0), 0);
  for (int id : kFourButtons) {
    Check("start: button " + std::to_string(id) + " enabled",
          IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE);
  }
}

void CheckAboutItemText(const std::string& exe) {
  HMODULE data = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  Check("the exe loads as a data file", data != nullptr, "error " + std::to_string(GetLastError()));
  if (!data) return;
  char text[256] = "";
  LoadStringA(data, kAboutItemString, text, sizeof text);
  CheckText("About item text (string 101)", text, kAboutItem);
  FreeLibrary(data);
}

void CheckAboutBox(const Program& program, HWND dialog, WPARAM command, HICON mainIcon) {
  const std::string label = "About via WM_SYSCOMMAND " + Hex(command);
  PostMessageA(dialog, WM_SYSCOMMAND, command, 0);
  HWND about =
      WaitForTopWindow(program.Id(), [&](HWND w) { return w != dialog && IsClass(w, "#32770"); });
  Check(label + ": a dialog opens", about != nullptr);
  if (!about) return;
  CheckText(label + ": caption", TextOf(about), kAboutCaption);

  std::vector<HWND> children = ChildrenInZOrder(about);
  bool hasText = false;
  for (HWND child : children) hasText |= IsClass(child, "Static") && TextOf(child) == kAboutText;
  Check(label + ": shows " + Quoted(kAboutText), hasText);
  HWND ok = GetDlgItem(about, IDOK);
  Check(label + ": OK button",
        ok && IsClass(ok, "Button") && TextOf(ok) == "OK" &&
            (StyleOf(ok) & BS_TYPEMASK) == BS_DEFPUSHBUTTON,
        ok ? Quoted(TextOf(ok)) + " style " + Hex(StyleOf(ok)) : "no IDOK");
  HWND icon = IconControl(about);
  if (mainIcon && icon) {
    const IconMatch match = ShownIcon(icon, {{"icon 128", mainIcon}});
    Check(label + ": shows the program's icon (128)", match.best == "icon 128", match.detail);
  } else {
    Check(label + ": shows the program's icon (128)", false,
          icon ? "icon 128 not loaded" : "no icon control");
  }
  PressButton(about, IDOK);
  Check(label + ": OK closes it", WaitUntil([&] { return !IsWindow(about); }));
  Check(label + ": the main dialog is enabled again",
        WaitUntil([&] { return IsWindowEnabled(dialog) != FALSE; }));
}

bool ButtonsEnabled(HWND dialog, bool enabled) {
  for (int id : kFourButtons) {
    if ((IsWindowEnabled(GetDlgItem(dialog, id)) != FALSE) != enabled) return false;
  }
  return true;
}

// Program with no device selected, with and without a file path: the dialog
// must ask for a selection before it looks at the file.
void CheckProgramWithoutDevice(const Program& program, HWND dialog) {
  struct Case {
    const char* label;
    const char* path;
  };
  const Case cases[] = {
      {"no device, no file", ""},
      {"no device, an existing file", "C:\\windows\\win.ini"},
      {"no device, a missing file", "C:\\no such folder\\firmware.hex"},
  };
  HWND path = GetDlgItem(dialog, kFilePath);
  HWND status = GetDlgItem(dialog, kStatus);
  for (const Case& c : cases) {
    const std::string label = std::string("Program (") + c.label + ")";
    Send(path, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(c.path));
    PressButton(dialog, kProgram);
    HWND box = WaitForTopWindow(program.Id(), IsMessageBox);
    Check(label + ": a message box opens", box != nullptr);
    if (!box) return;
    CheckText(label + ": message", MessageBoxText(box), kSelectFirst);
    CheckText(label + ": message box caption", TextOf(box), kTitle);
    CheckText(label + ": status while the box is up", TextOf(status), "Please Wait...");
    Check(label + ": the four buttons are disabled while the box is up",
          ButtonsEnabled(dialog, false));
    PressButton(box, IDOK);
    Check(label + ": OK closes the box", WaitUntil([&] { return !IsWindow(box); }));
    Check(label + ": the four buttons are enabled again",
          WaitUntil([&] { return ButtonsEnabled(dialog, true); }));
    CheckText(label + ": status line is empty", TextOf(status), "");
    CheckText(label + ": the file path stays", SentText(path), c.path);
    Check(label + ": Close is the default button",
          (StyleOf(GetDlgItem(dialog, kClose)) & BS_TYPEMASK) == BS_DEFPUSHBUTTON &&
              (StyleOf(GetDlgItem(dialog, kProgram)) & BS_TYPEMASK) == BS_PUSHBUTTON,
          "Close " + Hex(StyleOf(GetDlgItem(dialog, kClose))) + ", Program " +
              Hex(StyleOf(GetDlgItem(dialog, kProgram))));
  }
  Send(path, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
}

// Refresh with no USB host controllers: whatever the list, the status line
// and the progress bar held before, the walk starts from an empty list and
// finds nothing.
void CheckRefresh(HWND dialog) {
  HWND list = GetDlgItem(dialog, kDeviceList);
  HWND status = GetDlgItem(dialog, kStatus);
  HWND progress = GetDlgItem(dialog, kProgress);
  Send(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("stale device"));
  Send(list, CB_SETCURSEL, 0, 0);
  Send(status, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("stale status"));
  Send(progress, PBM_SETPOS, 40, 0);
  const bool seeded = Send(list, CB_GETCOUNT, 0, 0) == 1 && TextOf(status) == "stale status" &&
                      Send(progress, PBM_GETPOS, 0, 0) == 40;
  Check("Refresh: list, status and progress seeded before pressing", seeded);

  // Refresh opens no box, so the click can be sent: it returns once handled.
  Send(dialog, WM_COMMAND, MAKEWPARAM(kRefresh, BN_CLICKED),
       reinterpret_cast<LPARAM>(GetDlgItem(dialog, kRefresh)));
  CheckNumber("Refresh: the device list is empty", Send(list, CB_GETCOUNT, 0, 0), 0);
  CheckNumber("Refresh: nothing is selected", Send(list, CB_GETCURSEL, 0, 0), CB_ERR);
  CheckText("Refresh: status line is empty", TextOf(status), "");
  CheckNumber("Refresh: progress position 0", Send(progress, PBM_GETPOS, 0, 0), 0);
  Check("Refresh: the four buttons stay enabled", ButtonsEnabled(dialog, true));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s QUILLPROG.EXE [SHOTS-DIR]\n", argv[0]);
    return 2;
  }
  const std::string exe = argv[1];
  Screenshots shots(argc > 2 ? argv[2] : "");

  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS};
  InitCommonControlsEx(&classes);
  TwinDialog units;
  Check("own twin dialog in MS Sans Serif 8", units.Ready(),
        "error " + std::to_string(GetLastError()));
  if (!units.Ready()) return 1;

  HMODULE data = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  HICON mainIcon = data ? LoadIconA(data, MAKEINTRESOURCEA(kMainIcon)) : nullptr;

  // One run through everything that needs no device, ended with Escape.
  {
    Program program(exe);
    HWND dialog = StartAndPassWarning(program, "run 1", &shots);
    if (dialog) {
      shots.Take("main-dialog", dialog);
      CheckMainDialog(dialog, units);
      CheckAboutItemText(exe);
      CheckAboutBox(program, dialog, kAboutItemCommand, mainIcon);
      CheckAboutBox(program, dialog, kAboutItemCommand | 0x3, mainIcon);
      CheckProgramWithoutDevice(program, dialog);
      CheckRefresh(dialog);
      PressKey(dialog, VK_ESCAPE);
      Check("Escape: the process exits", program.WaitForExit(kExitTimeoutMs));
    }
  }

  // Every other way of ending the program, each in a run of its own.
  struct Ending {
    const char* name;
    std::function<void(HWND)> act;
  };
  const Ending endings[] = {
      {"Close button", [](HWND d) { PressButton(d, kClose); }},
      {"Enter", [](HWND d) { PressKey(d, VK_RETURN); }},
      {"system menu Close (WM_CLOSE)", [](HWND d) { PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0); }},
  };
  for (const Ending& ending : endings) {
    Program program(exe);
    HWND dialog = StartAndPassWarning(program, ending.name, nullptr);
    if (!dialog) continue;
    ending.act(dialog);
    Check(std::string(ending.name) + ": the process exits", program.WaitForExit(kExitTimeoutMs));
  }

  if (data) FreeLibrary(data);
  std::printf("quill-wine-test: %d passed, %d failed\n", passed, failed);
  return failed;
}
