// user32: menus. winsim's windows have no menu bars; the one menu the
// product touches is a window's system menu.
#include <windows.h>

#include <cstring>

#include "user32/user32_internal.h"

namespace winsim::user32 {

Menu* FindMenu(HMENU menu) {
  WindowSystem& sys = System();
  auto it = sys.menus.find(reinterpret_cast<uintptr_t>(menu));
  return it != sys.menus.end() ? it->second.get() : nullptr;
}

namespace {

// The system menu of a window of that style, as Windows builds it: items
// for the frame's boxes, a separator and Close.
void FillSystemMenu(Menu& menu, DWORD style) {
  menu.items.clear();
  const bool boxes = (style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) != 0 && (style & WS_CHILD) == 0;
  if (boxes) menu.items.push_back({MF_STRING | MF_GRAYED, SC_RESTORE, "&Restore"});
  menu.items.push_back({MF_STRING, SC_MOVE, "&Move"});
  if ((style & WS_THICKFRAME) != 0) menu.items.push_back({MF_STRING, SC_SIZE, "&Size"});
  if (boxes && (style & WS_MINIMIZEBOX) != 0) {
    menu.items.push_back({MF_STRING, SC_MINIMIZE, "Mi&nimize"});
  }
  if (boxes && (style & WS_MAXIMIZEBOX) != 0) {
    menu.items.push_back({MF_STRING, SC_MAXIMIZE, "Ma&ximize"});
  }
  menu.items.push_back({MF_SEPARATOR, 0, ""});
  menu.items.push_back({MF_STRING, SC_CLOSE, "&Close\tAlt+F4"});
}

const MenuItem* ItemOf(const Menu& menu, UINT item, UINT flags) {
  if ((flags & MF_BYPOSITION) != 0) {
    return item < menu.items.size() ? &menu.items[item] : nullptr;
  }
  for (const MenuItem& entry : menu.items) {
    if ((entry.flags & MF_SEPARATOR) == 0 && entry.id == item) return &entry;
  }
  return nullptr;
}

}  // namespace

}  // namespace winsim::user32

using namespace winsim::user32;

extern "C" HMENU WINAPI GetSystemMenu(HWND hWnd, BOOL bRevert) {
  Window* window = Find(hWnd);
  if (window == nullptr || (window->style & WS_SYSMENU) == 0) return nullptr;
  WindowSystem& sys = System();
  Menu* menu = FindMenu(window->systemMenu);
  if (menu == nullptr) {
    auto created = std::make_unique<Menu>();
    created->handle = reinterpret_cast<HMENU>(NewHandle());
    menu = created.get();
    window->systemMenu = created->handle;
    sys.menus.emplace(reinterpret_cast<uintptr_t>(created->handle), std::move(created));
    FillSystemMenu(*menu, window->style);
  } else if (bRevert) {
    FillSystemMenu(*menu, window->style);
  }
  // Reverting gives the standard menu back and returns no handle.
  return bRevert ? nullptr : menu->handle;
}

extern "C" BOOL WINAPI AppendMenuA(HMENU hMenu, UINT uFlags, UINT_PTR uIDNewItem,
                                   LPCSTR lpNewItem) {
  Menu* menu = FindMenu(hMenu);
  if (menu == nullptr) return FALSE;
  MenuItem item;
  item.flags = uFlags;
  item.id = (uFlags & MF_SEPARATOR) != 0 ? 0 : uIDNewItem;
  if ((uFlags & MF_SEPARATOR) == 0 && lpNewItem != nullptr) item.text = lpNewItem;
  menu->items.push_back(item);
  Log("menu item appended", {{"menu", Hex(reinterpret_cast<uintptr_t>(hMenu))},
                             {"id", Hex(item.id)},
                             {"text", (uFlags & MF_SEPARATOR) != 0 ? "(separator)" : item.text}});
  return TRUE;
}

extern "C" int WINAPI GetMenuItemCount(HMENU hMenu) {
  Menu* menu = FindMenu(hMenu);
  return menu != nullptr ? static_cast<int>(menu->items.size()) : -1;
}

extern "C" UINT WINAPI GetMenuItemID(HMENU hMenu, int nPos) {
  Menu* menu = FindMenu(hMenu);
  if (menu == nullptr || nPos < 0 || static_cast<size_t>(nPos) >= menu->items.size()) {
    return static_cast<UINT>(-1);
  }
  const MenuItem& item = menu->items[static_cast<size_t>(nPos)];
  if ((item.flags & MF_POPUP) != 0) return static_cast<UINT>(-1);
  return static_cast<UINT>(item.id);
}

extern "C" int WINAPI GetMenuStringA(HMENU hMenu, UINT uIDItem, LPSTR lpString, int cchMax,
                                     UINT flags) {
  Menu* menu = FindMenu(hMenu);
  const MenuItem* item = menu != nullptr ? ItemOf(*menu, uIDItem, flags) : nullptr;
  if (item == nullptr) return 0;
  if (lpString == nullptr || cchMax <= 0) return static_cast<int>(item->text.size());
  const size_t count = std::min<size_t>(item->text.size(), static_cast<size_t>(cchMax - 1));
  std::memcpy(lpString, item->text.data(), count);
  lpString[count] = '\0';
  return static_cast<int>(count);
}
