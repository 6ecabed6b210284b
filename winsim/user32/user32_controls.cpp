// user32: the standard controls the product uses, as window classes with
// Windows' message behaviour: Button (push buttons, check boxes), Edit
// (single line), Static (text and SS_ICON) and ComboBox (the drop-down list
// behaviour; winsim never shows the list itself, the user agent picks items).
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "user32/user32_internal.h"

namespace winsim::user32 {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool LessNoCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

LRESULT CopyText(const std::string& text, WPARAM size, LPARAM buffer) {
  if (size == 0 || buffer == 0) return 0;
  const size_t count = std::min<size_t>(text.size(), size - 1);
  std::memcpy(reinterpret_cast<char*>(buffer), text.data(), count);
  reinterpret_cast<char*>(buffer)[count] = '\0';
  return static_cast<LRESULT>(count);
}

std::string TextOf(LPARAM lParam) {
  return lParam != 0 ? std::string(reinterpret_cast<LPCSTR>(lParam)) : std::string();
}

}  // namespace

// ---- Button --------------------------------------------------------------------------------

LRESULT CALLBACK ButtonProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<ButtonData>();
  auto* data = dynamic_cast<ButtonData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  const DWORD type = window->style & BS_TYPEMASK;
  switch (message) {
    case WM_GETDLGCODE:
      switch (type) {
        case BS_DEFPUSHBUTTON:
          return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
        case BS_PUSHBUTTON:
          return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
        case BS_RADIOBUTTON:
        case BS_AUTORADIOBUTTON:
          return DLGC_BUTTON | DLGC_RADIOBUTTON;
        case BS_GROUPBOX:
          return DLGC_STATIC;
        default:
          return DLGC_BUTTON;
      }
    case BM_SETSTYLE: {
      // wParam is the button style: it replaces the style's low word (the
      // button-style part of the window style).
      const DWORD previous = window->style;
      window->style = (window->style & 0xFFFF0000u) | LOWORD(wParam);
      const bool wasDefault = (previous & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      const bool isDefault = (window->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
      if (wasDefault != isDefault) {
        LogWindow(*window, isDefault ? "default button" : "not default button");
      }
      if (lParam != 0) window->needsPaint = true;
      return 0;
    }
    case BM_CLICK:
      // The user's click: a disabled button does not take it.
      if ((window->style & WS_DISABLED) != 0) return 0;
      SendMessageA(hWnd, WM_LBUTTONDOWN, 0, 0);
      SendMessageA(hWnd, WM_LBUTTONUP, 0, 0);
      return 0;
    case WM_LBUTTONDOWN:
      if ((window->style & WS_DISABLED) != 0) return 0;
      data->state |= BST_PUSHED;
      if (type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON) SetFocus(hWnd);
      return 0;
    case WM_LBUTTONUP:
      if ((data->state & BST_PUSHED) == 0) return 0;
      data->state &= ~BST_PUSHED;
      if (type == BS_AUTOCHECKBOX) data->state ^= BST_CHECKED;
      if (type == BS_AUTORADIOBUTTON) data->state |= BST_CHECKED;
      LogWindow(*window, "clicked", {{"text", window->text}});
      NotifyParent(*window, BN_CLICKED);
      return 0;
    case BM_GETSTATE:
      return data->state;
    case BM_SETSTATE:
      data->state = wParam != 0 ? (data->state | BST_PUSHED) : (data->state & ~BST_PUSHED);
      return 0;
    case BM_GETCHECK:
      return data->state & 3;
    case BM_SETCHECK:
      data->state = (data->state & ~3u) | (static_cast<UINT>(wParam) & 3);
      return 0;
    case WM_SETFOCUS:
      data->state |= BST_FOCUS;
      return 0;
    case WM_KILLFOCUS:
      data->state &= ~BST_FOCUS;
      return 0;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

// ---- Edit ----------------------------------------------------------------------------------

LRESULT CALLBACK EditProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<EditData>();
  auto* data = dynamic_cast<EditData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  auto change = [&](std::string text) {
    if (text.size() > data->limit) text.resize(data->limit);
    if (text == window->text) return;
    SetWindowTextInternal(*window, std::move(text));
    NotifyParent(*window, EN_UPDATE);
    if (Find(hWnd) != nullptr) NotifyParent(*window, EN_CHANGE);
  };
  switch (message) {
    case WM_GETDLGCODE: {
      LRESULT code = DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
      if ((window->style & ES_MULTILINE) != 0) code |= DLGC_WANTALLKEYS;
      return code;
    }
    case WM_SETTEXT:
      change(TextOf(lParam));
      return TRUE;
    case kAgentTypeText:
      // The user selects the box's text and types over it.
      if ((window->style & (ES_READONLY | WS_DISABLED)) != 0) return FALSE;
      SetFocus(hWnd);
      change(TextOf(lParam));
      return TRUE;
    case WM_CHAR: {
      if ((window->style & ES_READONLY) != 0) return 0;
      std::string text = window->text;
      if (wParam == VK_BACK) {
        if (!text.empty()) text.pop_back();
      } else if (wParam >= 0x20 && wParam < 0x100) {
        text.push_back(static_cast<char>(wParam));
      } else {
        return 0;
      }
      change(std::move(text));
      return 0;
    }
    case EM_LIMITTEXT:
      data->limit = wParam != 0 ? static_cast<UINT>(wParam) : 0x7FFFFFFEu;
      return 0;
    case EM_GETLIMITTEXT:
      return data->limit;
    case EM_SETSEL:
      return 0;
    case EM_GETSEL:
      return MAKELRESULT(0, window->text.size());
    case WM_SETFOCUS:
      NotifyParent(*window, EN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      NotifyParent(*window, EN_KILLFOCUS);
      return 0;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

// ---- Static --------------------------------------------------------------------------------

LRESULT CALLBACK StaticProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<StaticData>();
  auto* data = dynamic_cast<StaticData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  switch (message) {
    case WM_CREATE: {
      if ((window->style & SS_TYPEMASK) != SS_ICON) return 0;
      // The window name names the icon: a resource ordinal (0xFF and its two
      // bytes) or a resource name, of the module that made the control.
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      const char* name = create != nullptr ? create->lpszName : nullptr;
      if (name == nullptr || name[0] == '\0') return 0;
      if (static_cast<unsigned char>(name[0]) == 0xFF) {
        const auto low = static_cast<unsigned char>(name[1]);
        const auto high = static_cast<unsigned char>(name[1] == '\0' ? 0 : name[2]);
        data->icon =
            LoadModuleIcon(resources::ResourceName(static_cast<uint16_t>(low | high << 8)));
      } else {
        data->icon = LoadModuleIcon(resources::ResourceName::FromAnsi(name));
      }
      // The control takes the icon's size.
      if (Icon* icon = FindIcon(data->icon);
          icon != nullptr && (window->style & (SS_CENTERIMAGE | SS_REALSIZEIMAGE)) == 0) {
        window->rect.right = window->rect.left + icon->width + 2 * window->frameX;
        window->rect.bottom = window->rect.top + icon->height + 2 * window->frameX;
      }
      return 0;
    }
    case STM_SETICON: {
      const HICON previous = data->icon;
      data->icon = reinterpret_cast<HICON>(wParam);
      window->needsPaint = true;
      return reinterpret_cast<LRESULT>(previous);
    }
    case STM_GETICON:
      return reinterpret_cast<LRESULT>(data->icon);
    case WM_GETDLGCODE:
      return DLGC_STATIC;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

// ---- ComboBox ------------------------------------------------------------------------------

LRESULT CALLBACK ComboBoxProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Window* window = Find(hWnd);
  if (window == nullptr) return 0;
  if (message == WM_NCCREATE) window->control = std::make_unique<ComboData>();
  auto* data = dynamic_cast<ComboData*>(window->control.get());
  if (data == nullptr) return DefWindowProcA(hWnd, message, wParam, lParam);
  const int count = static_cast<int>(data->items.size());
  const bool listOnly = (window->style & 3) == CBS_DROPDOWNLIST;
  auto select = [&](int index) {
    if (index == data->selection) return;
    data->selection = index;
    LogWindow(*window, "selection",
              {{"index", std::to_string(index)},
               {"text", index >= 0 ? data->items[static_cast<size_t>(index)] : ""}});
  };
  auto validIndex = [&](WPARAM index) {
    return static_cast<int>(index) >= 0 && static_cast<int>(index) < count;
  };
  switch (message) {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
      std::string text = TextOf(lParam);
      int index = count;
      if (message == CB_INSERTSTRING && static_cast<int>(wParam) != -1) {
        if (static_cast<int>(wParam) < 0 || static_cast<int>(wParam) > count) return CB_ERR;
        index = static_cast<int>(wParam);
      } else if (message == CB_ADDSTRING && (window->style & CBS_SORT) != 0) {
        index = static_cast<int>(
            std::upper_bound(data->items.begin(), data->items.end(), text, LessNoCase) -
            data->items.begin());
      }
      data->items.insert(data->items.begin() + index, text);
      data->itemData.insert(data->itemData.begin() + index, 0);
      if (data->selection >= index) ++data->selection;
      LogWindow(*window, "item added", {{"index", std::to_string(index)}, {"text", text}});
      return index;
    }
    case CB_DELETESTRING: {
      if (!validIndex(wParam)) return CB_ERR;
      const int index = static_cast<int>(wParam);
      LogWindow(
          *window, "item deleted",
          {{"index", std::to_string(index)}, {"text", data->items[static_cast<size_t>(index)]}});
      data->items.erase(data->items.begin() + index);
      data->itemData.erase(data->itemData.begin() + index);
      if (data->selection == index) {
        select(-1);
      } else if (data->selection > index) {
        --data->selection;
      }
      return static_cast<LRESULT>(data->items.size());
    }
    case CB_RESETCONTENT:
      data->items.clear();
      data->itemData.clear();
      data->selection = -1;
      LogWindow(*window, "items cleared");
      return CB_OKAY;
    case CB_GETCOUNT:
      return count;
    case CB_GETCURSEL:
      return data->selection;
    case CB_SETCURSEL:
      // An index out of range (or -1) clears the selection and answers CB_ERR.
      if (!validIndex(wParam)) {
        select(-1);
        return CB_ERR;
      }
      select(static_cast<int>(wParam));
      return static_cast<int>(wParam);
    case CB_GETLBTEXT:
      if (!validIndex(wParam)) return CB_ERR;
      if (lParam == 0) return CB_ERR;
      return CopyText(data->items[wParam], data->items[wParam].size() + 1, lParam);
    case CB_GETLBTEXTLEN:
      if (!validIndex(wParam)) return CB_ERR;
      return static_cast<LRESULT>(data->items[wParam].size());
    case CB_GETITEMDATA:
      if (!validIndex(wParam)) return CB_ERR;
      return data->itemData[wParam];
    case CB_SETITEMDATA:
      if (!validIndex(wParam)) return CB_ERR;
      data->itemData[wParam] = lParam;
      return CB_OKAY;
    case CB_FINDSTRING:
    case CB_FINDSTRINGEXACT:
    case CB_SELECTSTRING: {
      // Searches from the item after wParam (-1: from the start), wrapping
      // round; CB_FINDSTRING and CB_SELECTSTRING match prefixes.
      const std::string text = TextOf(lParam);
      const int start = static_cast<int>(wParam);
      for (int step = 1; step <= count; ++step) {
        const int index = ((start < 0 ? -1 : start) + step + count) % count;
        const std::string& item = data->items[static_cast<size_t>(index)];
        const bool match =
            message == CB_FINDSTRINGEXACT
                ? EqualNoCase(item, text)
                : item.size() >= text.size() &&
                      EqualNoCase(std::string_view(item).substr(0, text.size()), text);
        if (!match) continue;
        if (message == CB_SELECTSTRING) select(index);
        return index;
      }
      return CB_ERR;
    }
    case CB_SHOWDROPDOWN:
      return TRUE;
    case CB_GETDROPPEDSTATE:
      return FALSE;
    case kAgentSelectItem: {
      // The user opens the list and picks an item.
      if ((window->style & WS_DISABLED) != 0 || !validIndex(wParam)) return FALSE;
      SetFocus(hWnd);
      const bool changed = data->selection != static_cast<int>(wParam);
      select(static_cast<int>(wParam));
      if (changed) NotifyParent(*window, CBN_SELCHANGE);
      return TRUE;
    }
    case WM_GETTEXT:
      if (listOnly) {
        return CopyText(
            data->selection >= 0 ? data->items[static_cast<size_t>(data->selection)] : "", wParam,
            lParam);
      }
      return DefWindowProcA(hWnd, message, wParam, lParam);
    case WM_GETTEXTLENGTH:
      if (listOnly) {
        return data->selection >= 0
                   ? static_cast<LRESULT>(data->items[static_cast<size_t>(data->selection)].size())
                   : 0;
      }
      return DefWindowProcA(hWnd, message, wParam, lParam);
    case WM_SETTEXT:
      if (listOnly) {
        // A drop-down list shows only its items: the text selects one.
        const std::string text = TextOf(lParam);
        for (int index = 0; index < count; ++index) {
          if (EqualNoCase(data->items[static_cast<size_t>(index)], text)) {
            select(index);
            return TRUE;
          }
        }
        return CB_ERR;
      }
      return DefWindowProcA(hWnd, message, wParam, lParam);
    case WM_GETDLGCODE:
      return DLGC_WANTCHARS | DLGC_WANTARROWS;
    case WM_SETFOCUS:
      NotifyParent(*window, CBN_SETFOCUS);
      return 0;
    case WM_KILLFOCUS:
      NotifyParent(*window, CBN_KILLFOCUS);
      return 0;
    default:
      return DefWindowProcA(hWnd, message, wParam, lParam);
  }
}

}  // namespace winsim::user32
