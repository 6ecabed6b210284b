// user32: message boxes. A message box is a dialog (class "#32770") that
// winsim lays out from the text: the icon (control 0x14), the text (static
// control 0xFFFF) and the buttons, run by the same modal loop as
// DialogBoxParamA. The user agent reads and answers it.
#include <windows.h>

#include <algorithm>
#include <sstream>

#include "user32/user32_internal.h"

namespace winsim::user32 {

namespace {

constexpr int kIconControlId = 0x14;
constexpr int kTextControlId = 0xFFFF;
// Layout in pixels of the 6 x 13 base units.
constexpr int kMargin = 12;
constexpr int kCharWidth = 6;
constexpr int kLineHeight = 13;
constexpr int kMaxTextWidth = 420;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;

struct ButtonSpec {
  int id;
  const char* text;
};

std::vector<ButtonSpec> ButtonsFor(UINT type) {
  switch (type & MB_TYPEMASK) {
    case MB_OKCANCEL:
      return {{IDOK, "OK"}, {IDCANCEL, "Cancel"}};
    case MB_ABORTRETRYIGNORE:
      return {{IDABORT, "&Abort"}, {IDRETRY, "&Retry"}, {IDIGNORE, "&Ignore"}};
    case MB_YESNOCANCEL:
      return {{IDYES, "&Yes"}, {IDNO, "&No"}, {IDCANCEL, "Cancel"}};
    case MB_YESNO:
      return {{IDYES, "&Yes"}, {IDNO, "&No"}};
    case MB_RETRYCANCEL:
      return {{IDRETRY, "&Retry"}, {IDCANCEL, "Cancel"}};
    default:
      return {{IDOK, "OK"}};
  }
}

uint16_t IconIdFor(UINT type) {
  switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
      return 32513;
    case MB_ICONQUESTION:
      return 32514;
    case MB_ICONEXCLAMATION:
      return 32515;
    case MB_ICONASTERISK:
      return 32516;
    default:
      return 0;
  }
}

// Lines of the text as the box shows them: broken at line ends and wrapped
// at word boundaries to the box's greatest width.
std::vector<std::string> WrapText(const std::string& text) {
  std::vector<std::string> lines;
  const size_t maxChars = kMaxTextWidth / kCharWidth;
  std::istringstream in(text);
  std::string paragraph;
  while (std::getline(in, paragraph)) {
    if (!paragraph.empty() && paragraph.back() == '\r') paragraph.pop_back();
    std::string line;
    std::string word;
    size_t position = 0;
    while (position <= paragraph.size()) {
      const size_t space = paragraph.find(' ', position);
      const size_t end = space == std::string::npos ? paragraph.size() : space;
      word = paragraph.substr(position, end - position);
      const std::string candidate = line.empty() ? word : line + " " + word;
      if (!line.empty() && candidate.size() > maxChars) {
        lines.push_back(line);
        line = word;
      } else {
        line = candidate;
      }
      if (space == std::string::npos) break;
      position = space + 1;
    }
    lines.push_back(line);
  }
  if (lines.empty()) lines.emplace_back();
  return lines;
}

int PixelsToDluX(int pixels) { return (pixels * 4 + kCharWidth - 1) / kCharWidth; }
int PixelsToDluY(int pixels) { return (pixels * 8 + kLineHeight - 1) / kLineHeight; }

INT_PTR CALLBACK MessageBoxProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
  Window* window = Find(hDlg);
  if (window == nullptr || window->dialog == nullptr) return FALSE;
  const UINT type = window->dialog->messageBoxType;
  switch (message) {
    case WM_INITDIALOG: {
      const UINT defaultIndex = (type & MB_DEFMASK) >> 8;
      const std::vector<ButtonSpec> buttons = ButtonsFor(type);
      const int id = buttons[std::min<size_t>(defaultIndex, buttons.size() - 1)].id;
      if (HWND button = GetDlgItem(hDlg, id)) SetFocus(button);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      const std::vector<ButtonSpec> buttons = ButtonsFor(type);
      const bool present = std::any_of(buttons.begin(), buttons.end(),
                                       [id](const ButtonSpec& b) { return b.id == id; });
      // Escape and the close box give IDCANCEL; a box with only OK takes them
      // as OK, a box without Cancel otherwise ignores them.
      if (!present && id == IDCANCEL && (type & MB_TYPEMASK) == MB_OK)
        id = IDOK;
      else if (!present)
        return TRUE;
      EndDialog(hDlg, id);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  const std::string text = lpText != nullptr ? lpText : "";
  const std::string caption = lpCaption != nullptr ? lpCaption : "Error";
  const std::vector<ButtonSpec> buttons = ButtonsFor(uType);
  const uint16_t iconId = IconIdFor(uType);

  const std::vector<std::string> lines = WrapText(text);
  size_t longest = 0;
  for (const std::string& line : lines) longest = std::max(longest, line.size());
  const int textLeft = kMargin + (iconId != 0 ? 32 + kMargin : 0);
  const int textWidth = std::max<int>(static_cast<int>(longest) * kCharWidth, kCharWidth);
  const int textHeight = static_cast<int>(lines.size()) * kLineHeight;
  const int bodyHeight = std::max(textHeight, iconId != 0 ? 32 : 0);
  const int buttonsWidth =
      static_cast<int>(buttons.size()) * (kButtonWidth + kButtonGap) - kButtonGap;
  const int clientWidth = std::max(textLeft + textWidth + kMargin, buttonsWidth + 2 * kMargin);
  const int buttonTop = kMargin + bodyHeight + kMargin;
  const int clientHeight = buttonTop + kButtonHeight + kMargin;

  winsim::resources::DialogTemplate box;
  box.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | WS_VISIBLE;
  box.cx = static_cast<int16_t>(PixelsToDluX(clientWidth));
  box.cy = static_cast<int16_t>(PixelsToDluY(clientHeight));
  box.title = winsim::resources::WidenAnsi(caption);
  box.has_font = true;
  box.point_size = 8;
  box.typeface = u"MS Sans Serif";
  if (iconId != 0) {
    box.items.push_back(MakeDialogItem("Static", "", SS_ICON, kIconControlId, PixelsToDluX(kMargin),
                                       PixelsToDluY(kMargin), 20, 20));
  }
  const int textTop = kMargin + (bodyHeight - textHeight) / 2;
  box.items.push_back(MakeDialogItem("Static", text, SS_LEFT | SS_NOPREFIX, kTextControlId,
                                     PixelsToDluX(textLeft), PixelsToDluY(textTop),
                                     PixelsToDluX(textWidth), PixelsToDluY(textHeight)));
  const UINT defaultIndex =
      std::min<UINT>((uType & MB_DEFMASK) >> 8, static_cast<UINT>(buttons.size() - 1));
  int left = (clientWidth - buttonsWidth) / 2;
  for (size_t i = 0; i < buttons.size(); ++i) {
    const DWORD style = WS_TABSTOP | (i == defaultIndex ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    box.items.push_back(MakeDialogItem("Button", buttons[i].text, style, buttons[i].id,
                                       PixelsToDluX(left), PixelsToDluY(buttonTop),
                                       PixelsToDluX(kButtonWidth), PixelsToDluY(kButtonHeight)));
    left += kButtonWidth + kButtonGap;
  }

  const HWND owner = RootOf(hWnd);
  std::string buttonNames;
  for (const ButtonSpec& button : buttons) {
    std::string name = button.text;
    std::erase(name, '&');
    buttonNames += (buttonNames.empty() ? "" : ",") + name;
  }
  Log("message box shown", {{"text", text},
                            {"caption", caption},
                            {"icon", iconId != 0 ? FindIcon(SystemIcon(iconId))->name : "(none)"},
                            {"buttons", buttonNames}});
  // The box is built in two steps so that the dialog procedure sees its
  // type from the first message on.
  HWND hDlg = CreateDialogFromTemplate(box, nullptr, owner, nullptr, 0, kMessageBoxKind);
  Window* window = Find(hDlg);
  if (window == nullptr) return 0;
  window->dialog->messageBoxType = uType;
  if (iconId != 0) {
    SendDlgItemMessageA(hDlg, kIconControlId, STM_SETICON,
                        reinterpret_cast<WPARAM>(SystemIcon(iconId)), 0);
  }
  SetWindowLongPtrA(hDlg, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(&MessageBoxProc));
  MessageBoxProc(hDlg, WM_INITDIALOG, 0, 0);
  const int result = static_cast<int>(RunModalLoop(hDlg, owner));
  Log("message box answered", {{"caption", caption}, {"result", std::to_string(result)}});
  return result;
}

extern "C" BOOL WINAPI MessageBeep(UINT uType) {
  Log("beep", {{"type", Hex(uType)}});
  return TRUE;
}
