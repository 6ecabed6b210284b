// user32: the dialog manager. Dialogs are built from templates (the
// program's RT_DIALOG resources, or templates that winsim builds for message
// boxes and the file dialog), run modally by DialogBoxParamA's loop, and
// given the default dialog processing and keyboard interface.
//
// Dialog units: a dialog with DS_SETFONT takes its base units from its font.
// winsim has no fonts; it uses the classic base units of "MS Sans Serif" 8
// point at 96 dots per inch, 6 by 13 pixels, scaled with the point size for
// other sizes, and the system font's 8 by 16 for a dialog without a font.
#include <windows.h>

#include <cstring>

#include "machine/machine.h"
#include "user32/user32_internal.h"

namespace winsim::user32 {

using resources::DialogItem;
using resources::DialogTemplate;
using resources::NarrowToAnsi;
using resources::ResourceName;
using resources::WidenAnsi;

namespace {

int MulDiv(int number, int numerator, int denominator) {
  const long long product = static_cast<long long>(number) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

DialogData* DialogOf(HWND hwnd) {
  Window* window = Find(hwnd);
  return window != nullptr ? window->dialog.get() : nullptr;
}

UINT DialogCode(HWND control, const MSG* msg) {
  return static_cast<UINT>(SendMessageA(control, WM_GETDLGCODE, msg != nullptr ? msg->wParam : 0,
                                        reinterpret_cast<LPARAM>(msg)));
}

bool IsTabStop(const Window& control) {
  return (control.style & (WS_TABSTOP | WS_VISIBLE)) == (WS_TABSTOP | WS_VISIBLE) &&
         (control.style & WS_DISABLED) == 0;
}

bool IsInside(HWND window, HWND ancestor) {
  for (Window* w = Find(window); w != nullptr; w = w->IsChild() ? Find(w->parent) : nullptr) {
    if (w->handle == ancestor) return true;
  }
  return false;
}

// Sends the click of the dialog's button `id` as the keyboard does: nothing
// but a beep when that button exists and is disabled.
void PressDialogButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  if (button != nullptr && !IsWindowEnabled(button)) {
    MessageBeep(0);
    return;
  }
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

LRESULT DefaultDialogProcessing(Window& dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  const HWND hDlg = dialog.handle;
  switch (message) {
    case WM_CLOSE: {
      // The close box, the system menu's Close and Alt+F4 cancel the dialog:
      // a posted BN_CLICKED of IDCANCEL, unless that button is disabled.
      HWND cancel = GetDlgItem(hDlg, IDCANCEL);
      if (cancel != nullptr && !IsWindowEnabled(cancel)) {
        MessageBeep(0);
      } else {
        PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(cancel));
      }
      return 0;
    }
    case DM_GETDEFID: {
      if (dialog.dialog != nullptr && dialog.dialog->defId != 0) {
        return MAKELRESULT(dialog.dialog->defId, DC_HASDEFID);
      }
      for (HWND child : dialog.children) {
        Window* control = Find(child);
        if (control != nullptr && (DialogCode(child, nullptr) & DLGC_DEFPUSHBUTTON) != 0) {
          return MAKELRESULT(control->id, DC_HASDEFID);
        }
      }
      return 0;
    }
    case DM_SETDEFID:
      if (dialog.dialog != nullptr) dialog.dialog->defId = static_cast<UINT>(wParam);
      return TRUE;
    case WM_NEXTDLGCTL: {
      HWND target = lParam != 0 ? reinterpret_cast<HWND>(wParam)
                                : GetNextDlgTabItem(hDlg, GetFocus(), wParam != 0);
      if (target != nullptr) SetFocus(target);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_CTLCOLORSTATIC:
      return 0;
    default:
      return DefWindowProcA(hDlg, message, wParam, lParam);
  }
}

}  // namespace

DialogItem MakeDialogItem(std::string_view className, std::string_view text, DWORD style, int id,
                          int x, int y, int cx, int cy) {
  DialogItem item;
  item.style = style | WS_CHILD | WS_VISIBLE;
  item.id = static_cast<uint32_t>(id);
  item.x = static_cast<int16_t>(x);
  item.y = static_cast<int16_t>(y);
  item.cx = static_cast<int16_t>(cx);
  item.cy = static_cast<int16_t>(cy);
  item.window_class = ResourceName(WidenAnsi(className));
  item.text = ResourceName(WidenAnsi(text));
  return item;
}

int DluToPixelsX(int dlu, int baseX) { return MulDiv(dlu, baseX, 4); }
int DluToPixelsY(int dlu, int baseY) { return MulDiv(dlu, baseY, 8); }

ResourceName NameFromAnsi(LPCSTR name) {
  if (IS_INTRESOURCE(name)) return ResourceName(LOWORD(reinterpret_cast<uintptr_t>(name)));
  return ResourceName::FromAnsi(name);
}

LRESULT CALLBACK DialogClassProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefDlgProcA(hDlg, message, wParam, lParam);
}

HWND CreateDialogFromTemplate(const DialogTemplate& dialogTemplate, HINSTANCE instance, HWND owner,
                              DLGPROC dialogProc, LPARAM initParam, int kind) {
  auto data = std::make_unique<DialogData>();
  data->kind = kind;
  if (dialogTemplate.has_font) {
    data->typeface = NarrowToAnsi(dialogTemplate.typeface);
    data->pointSize = dialogTemplate.point_size;
    const int points = dialogTemplate.point_size > 0 ? dialogTemplate.point_size : 8;
    data->baseX = (6 * points + 4) / 8;
    data->baseY = (13 * points + 4) / 8;
  } else {
    data->baseX = 8;
    data->baseY = 16;
  }
  const int baseX = data->baseX;
  const int baseY = data->baseY;

  DWORD style = dialogTemplate.style;
  DWORD exStyle = dialogTemplate.ex_style;
  if ((style & DS_MODALFRAME) != 0) exStyle |= WS_EX_DLGMODALFRAME;
  const int clientWidth = DluToPixelsX(dialogTemplate.cx, baseX);
  const int clientHeight = DluToPixelsY(dialogTemplate.cy, baseY);
  const SIZE size = WindowSizeForClient(style, exStyle, clientWidth, clientHeight);
  int x = DluToPixelsX(dialogTemplate.x, baseX);
  int y = DluToPixelsY(dialogTemplate.y, baseY);
  if ((style & DS_CENTER) != 0 || kind != kDialogKind) {
    x = (GetSystemMetrics(SM_CXSCREEN) - size.cx) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - size.cy) / 2;
  } else if (Window* ownerWindow = Find(owner);
             ownerWindow != nullptr && (style & DS_ABSALIGN) == 0) {
    const POINT origin = ClientOrigin(*ownerWindow);
    x += origin.x;
    y += origin.y;
  }

  std::string className = "#32770";
  if (dialogTemplate.window_class.has_value()) {
    className = dialogTemplate.window_class->IsOrdinal()
                    ? "#" + std::to_string(dialogTemplate.window_class->Ordinal())
                    : NarrowToAnsi(dialogTemplate.window_class->Name());
  }
  const std::string title = NarrowToAnsi(dialogTemplate.title);
  // The dialog is created hidden and shown once it is initialised.
  HWND hDlg = CreateWindowExA(exStyle, className.c_str(), title.c_str(), style & ~WS_VISIBLE, x, y,
                              size.cx, size.cy, owner, nullptr, instance, nullptr);
  Window* dialog = Find(hDlg);
  if (dialog == nullptr) return nullptr;
  dialog->dialog = std::move(data);
  SetWindowLongPtrA(hDlg, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(dialogProc));

  // The controls, in template (tab) order. A control whose class is not
  // registered fails the whole dialog, unless DS_NOFAILCREATE.
  for (const DialogItem& item : dialogTemplate.items) {
    const std::string controlClass = NarrowToAnsi(item.ClassName());
    std::string text;
    if (item.text.IsOrdinal()) {
      // A resource ordinal as the window name: 0xFF and the ordinal's bytes.
      text = {static_cast<char>(0xFF), static_cast<char>(item.text.Ordinal() & 0xFF),
              static_cast<char>(item.text.Ordinal() >> 8)};
    } else {
      text = NarrowToAnsi(item.text.Name());
    }
    LPVOID creationData =
        item.creation_data.empty() ? nullptr : const_cast<uint8_t*>(item.creation_data.data());
    HWND control = CreateWindowExA(
        item.ex_style | WS_EX_NOPARENTNOTIFY, controlClass.c_str(), text.c_str(),
        item.style | WS_CHILD, DluToPixelsX(item.x, baseX), DluToPixelsY(item.y, baseY),
        DluToPixelsX(item.cx, baseX), DluToPixelsY(item.cy, baseY), hDlg,
        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(item.id)), instance, creationData);
    if (control == nullptr && (style & DS_NOFAILCREATE) == 0) {
      Log("dialog creation failed: a control could not be created",
          {{"dialog", title}, {"class", controlClass}, {"id", std::to_string(int16_t(item.id))}});
      DestroyWindow(hDlg);
      return nullptr;
    }
  }

  if ((style & DS_SETFONT) != 0) {
    // winsim draws no text, so the font is a token that only travels.
    const HFONT font = reinterpret_cast<HFONT>(NewHandle());
    for (HWND child : std::vector<HWND>(dialog->children))
      SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    SendMessageA(hDlg, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (Find(hDlg) == nullptr) return nullptr;
  HWND firstTabStop = GetNextDlgTabItem(hDlg, nullptr, FALSE);
  const LRESULT setFocus =
      SendMessageA(hDlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstTabStop), initParam);
  dialog = Find(hDlg);
  if (dialog == nullptr) return nullptr;
  if (setFocus != 0 && !dialog->dialog->ended) {
    firstTabStop = GetNextDlgTabItem(hDlg, nullptr, FALSE);
    if (firstTabStop != nullptr) SetFocus(firstTabStop);
  }
  if ((style & WS_VISIBLE) != 0 && !dialog->dialog->ended) ShowWindow(hDlg, SW_SHOWNORMAL);
  return hDlg;
}

INT_PTR RunModalLoop(HWND hDlg, HWND owner) {
  DialogData* data = DialogOf(hDlg);
  if (data == nullptr) return -1;
  data->modal = true;
  if (Find(owner) != nullptr && IsWindowEnabled(owner)) {
    EnableWindow(owner, FALSE);
    data->modalOwner = owner;
    data->ownerWasEnabled = true;
  }
  WindowSystem& sys = System();
  const HWND savedFocus = sys.focus;
  MessageQueue& queue = CurrentQueue();
  bool quit = false;
  int quitCode = 0;
  while ((data = DialogOf(hDlg)) != nullptr && !data->ended) {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      // DialogBox shows the dialog whatever its template says, once the
      // queue is empty.
      if (!IsWindowVisible(hDlg)) {
        ShowWindow(hDlg, SW_SHOWNORMAL);
        continue;
      }
      WaitForMessages(queue);
      continue;
    }
    if (msg.message == WM_QUIT) {
      quit = true;
      quitCode = static_cast<int>(msg.wParam);
      break;
    }
    if (!IsDialogMessageA(hDlg, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
  }
  INT_PTR result = 0;
  if ((data = DialogOf(hDlg)) != nullptr) {
    result = data->result;
    if (data->modalOwner != nullptr && data->ownerWasEnabled) {
      EnableWindow(data->modalOwner, TRUE);
      data->modalOwner = nullptr;
    }
    DestroyWindow(hDlg);
  } else if (owner != nullptr && Find(owner) != nullptr && !IsWindowEnabled(owner)) {
    EnableWindow(owner, TRUE);
  }
  if (Find(savedFocus) != nullptr) SetFocus(savedFocus);
  if (quit) PostQuitMessage(quitCode);  // the loop that owns WM_QUIT sees it again
  return result;
}

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName,
                                          HWND hWndParent, DLGPROC lpDialogFunc,
                                          LPARAM dwInitParam) {
  const winsim::resources::ResourceFile* resources = ModuleResources();
  const winsim::resources::ResourceName name = NameFromAnsi(lpTemplateName);
  const winsim::resources::ResourceEntry* entry =
      resources != nullptr ? resources->Find(winsim::resources::resource_type::kDialog, name)
                           : nullptr;
  if (entry == nullptr) {
    Log("DialogBoxParam failed: no such dialog template", {{"template", name.Describe()}});
    return -1;
  }
  winsim::resources::DialogTemplate dialogTemplate;
  try {
    dialogTemplate = winsim::resources::DecodeDialogTemplate(entry->data);
  } catch (const winsim::resources::ResourceFormatError& error) {
    Log("DialogBoxParam failed: malformed template",
        {{"template", name.Describe()}, {"error", error.what()}});
    return -1;
  }
  const HWND owner = RootOf(hWndParent);
  HWND hDlg = CreateDialogFromTemplate(dialogTemplate, hInstance, owner, lpDialogFunc, dwInitParam,
                                       kDialogKind);
  if (hDlg == nullptr) return -1;
  return RunModalLoop(hDlg, owner);
}

extern "C" BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  Window* window = Find(hDlg);
  if (window == nullptr || window->dialog == nullptr) return FALSE;
  DialogData& data = *window->dialog;
  if (data.ended) return TRUE;
  data.ended = true;
  data.result = nResult;
  LogWindow(*window, "dialog ended", {{"result", std::to_string(nResult)}});
  // The owner comes back before the dialog goes; the loop destroys it.
  if (data.modalOwner != nullptr && data.ownerWasEnabled) {
    EnableWindow(data.modalOwner, TRUE);
    data.modalOwner = nullptr;
  }
  if (Find(hDlg) != nullptr) ShowWindow(hDlg, SW_HIDE);
  // A loop blocked in its wait must look at the flag again.
  if (window->queue->waiting) PostMessageA(hDlg, WM_NULL, 0, 0);
  return TRUE;
}

extern "C" LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
  Window* dialog = Find(hDlg);
  if (dialog == nullptr) return 0;
  DLGPROC proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(hDlg, DWLP_DLGPROC));
  INT_PTR handled = FALSE;
  if (proc != nullptr) {
    SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, 0);
    handled = proc(hDlg, Msg, wParam, lParam);
  }
  dialog = Find(hDlg);
  if (dialog == nullptr) return handled;
  if (handled) {
    // These messages return the dialog procedure's value itself; the others
    // return what it stored in DWLP_MSGRESULT.
    switch (Msg) {
      case WM_INITDIALOG:
      case WM_QUERYDRAGICON:
      case WM_CTLCOLORSTATIC:
        return handled;
      default:
        return GetWindowLongPtrA(hDlg, DWLP_MSGRESULT);
    }
  }
  return DefaultDialogProcessing(*dialog, Msg, wParam, lParam);
}

extern "C" BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg) {
  if (lpMsg == nullptr || Find(hDlg) == nullptr) return FALSE;
  if (lpMsg->hwnd != hDlg && !IsInside(lpMsg->hwnd, hDlg)) return FALSE;
  switch (lpMsg->message) {
    case WM_KEYDOWN: {
      const UINT code = DialogCode(lpMsg->hwnd, lpMsg);
      if ((code & DLGC_WANTALLKEYS) != 0) break;
      switch (lpMsg->wParam) {
        case VK_RETURN: {
          // A focused push button takes Enter; otherwise the default button,
          // or IDOK when the dialog has none.
          int id = IDOK;
          HWND focus = GetFocus();
          if (focus != nullptr && IsInside(focus, hDlg) &&
              (DialogCode(focus, nullptr) & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) != 0) {
            id = GetDlgCtrlID(focus);
          } else {
            const LRESULT defId = SendMessageA(hDlg, DM_GETDEFID, 0, 0);
            if (HIWORD(defId) == DC_HASDEFID) id = LOWORD(defId);
          }
          PressDialogButton(hDlg, id);
          return TRUE;
        }
        case VK_ESCAPE:
          PressDialogButton(hDlg, IDCANCEL);
          return TRUE;
        case VK_TAB: {
          HWND next = GetNextDlgTabItem(hDlg, GetFocus(), FALSE);
          if (next != nullptr) SetFocus(next);
          return TRUE;
        }
        default:
          break;
      }
      break;
    }
    case WM_CHAR:
      // The characters of the keys handled above do not reach the controls.
      if (lpMsg->wParam == '\r' || lpMsg->wParam == 0x1B || lpMsg->wParam == '\t') {
        if ((DialogCode(lpMsg->hwnd, lpMsg) & DLGC_WANTALLKEYS) == 0) return TRUE;
      }
      break;
    default:
      break;
  }
  TranslateMessage(lpMsg);
  DispatchMessageA(lpMsg);
  return TRUE;
}

extern "C" HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  Window* dialog = Find(hDlg);
  if (dialog == nullptr) return nullptr;
  for (HWND child : dialog->children) {
    Window* control = Find(child);
    if (control != nullptr && LOWORD(control->id) == LOWORD(nIDDlgItem)) return child;
  }
  return nullptr;
}

extern "C" int WINAPI GetDlgCtrlID(HWND hWnd) {
  Window* window = Find(hWnd);
  return window != nullptr && window->IsChild() ? static_cast<int>(window->id) : 0;
}

extern "C" LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                              LPARAM lParam) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control != nullptr ? SendMessageA(control, Msg, wParam, lParam) : 0;
}

extern "C" BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  return control != nullptr ? SetWindowTextA(control, lpString) : FALSE;
}

extern "C" UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  HWND control = GetDlgItem(hDlg, nIDDlgItem);
  if (control == nullptr) {
    if (lpString != nullptr && cchMax > 0) lpString[0] = '\0';
    return 0;
  }
  return static_cast<UINT>(GetWindowTextA(control, lpString, cchMax));
}

extern "C" BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
  DialogData* data = DialogOf(hDlg);
  if (data == nullptr || lpRect == nullptr) return FALSE;
  lpRect->left = DluToPixelsX(lpRect->left, data->baseX);
  lpRect->right = DluToPixelsX(lpRect->right, data->baseX);
  lpRect->top = DluToPixelsY(lpRect->top, data->baseY);
  lpRect->bottom = DluToPixelsY(lpRect->bottom, data->baseY);
  return TRUE;
}

extern "C" HWND WINAPI GetNextDlgTabItem(HWND hDlg, HWND hCtl, BOOL bPrevious) {
  Window* dialog = Find(hDlg);
  if (dialog == nullptr) return nullptr;
  std::vector<HWND> stops;
  for (HWND child : dialog->children) {
    Window* control = Find(child);
    if (control != nullptr && IsTabStop(*control)) stops.push_back(child);
  }
  if (stops.empty()) return nullptr;
  auto it = std::find(stops.begin(), stops.end(), hCtl);
  if (it == stops.end()) return bPrevious ? stops.back() : stops.front();
  const size_t index = static_cast<size_t>(it - stops.begin());
  return bPrevious ? stops[(index + stops.size() - 1) % stops.size()]
                   : stops[(index + 1) % stops.size()];
}
