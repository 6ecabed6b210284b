// user32: painting and system metrics. winsim keeps no pixels for windows:
// a paint device context records what is drawn on it (DrawIcon), which the
// event log and snapshots show.
#include <windows.h>

#include "user32/user32_internal.h"

using namespace winsim::user32;

extern "C" HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
  Window* window = Find(hWnd);
  if (window == nullptr || lpPaint == nullptr) return nullptr;
  WindowSystem& sys = System();
  *lpPaint = PAINTSTRUCT{};
  const HDC dc = reinterpret_cast<HDC>(NewHandle());
  sys.paintContexts[reinterpret_cast<uintptr_t>(dc)] = hWnd;
  lpPaint->hdc = dc;
  lpPaint->rcPaint = RECT{0, 0, window->ClientWidth(), window->ClientHeight()};
  window->needsPaint = false;
  window->drawnIcons.clear();
  if (window->erasePending) {
    window->erasePending = false;
    // A minimised window's background is erased by the program itself
    // (WM_ICONERASEBKGND); fErase tells it so.
    if (IsIconic(hWnd)) {
      lpPaint->fErase = TRUE;
    } else {
      lpPaint->fErase = SendMessageA(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0) == 0;
    }
  }
  return dc;
}

extern "C" BOOL WINAPI EndPaint(HWND hWnd, CONST PAINTSTRUCT* lpPaint) {
  if (lpPaint == nullptr) return FALSE;
  WindowSystem& sys = System();
  auto it = sys.paintContexts.find(reinterpret_cast<uintptr_t>(lpPaint->hdc));
  if (it == sys.paintContexts.end() || it->second != hWnd) return FALSE;
  sys.paintContexts.erase(it);
  return TRUE;
}

extern "C" BOOL WINAPI DrawIcon(HDC hDC, int X, int Y, HICON hIcon) {
  WindowSystem& sys = System();
  auto it = sys.paintContexts.find(reinterpret_cast<uintptr_t>(hDC));
  Icon* icon = FindIcon(hIcon);
  if (it == sys.paintContexts.end() || icon == nullptr) return FALSE;
  Window* window = Find(it->second);
  if (window == nullptr) return FALSE;
  window->drawnIcons.push_back(DrawnIcon{hIcon, X, Y});
  LogWindow(*window, "icon drawn",
            {{"icon", icon->name}, {"x", std::to_string(X)}, {"y", std::to_string(Y)}});
  return TRUE;
}

extern "C" BOOL WINAPI InvalidateRect(HWND hWnd, CONST RECT*, BOOL bErase) {
  WindowSystem& sys = System();
  for (auto& [handle, window] : sys.windows) {
    if (!window->alive) continue;
    if (hWnd != nullptr && window->handle != hWnd) continue;
    window->needsPaint = true;
    if (bErase) window->erasePending = true;
  }
  return TRUE;
}

extern "C" BOOL WINAPI UpdateWindow(HWND hWnd) {
  Window* window = Find(hWnd);
  if (window == nullptr) return FALSE;
  if (window->needsPaint && IsVisible(*window)) SendMessageA(hWnd, WM_PAINT, 0, 0);
  return TRUE;
}

// The classic look at 96 dots per inch on an 800 x 600 screen.
extern "C" int WINAPI GetSystemMetrics(int nIndex) {
  switch (nIndex) {
    case SM_CXSCREEN:
      return 800;
    case SM_CYSCREEN:
      return 600;
    case SM_CYCAPTION:
      return 19;
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME:
      return 3;
    case SM_CXICON:
    case SM_CYICON:
      return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
      return 16;
    default:
      return 0;
  }
}
