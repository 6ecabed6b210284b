// CWnd, CMenu, CPaintDC, data exchange and the temporary wrappers.
#include "afx_internal.h"

AfxTemporaryObjects& AfxGetTemporaryObjects() {
  static AfxTemporaryObjects objects;
  return objects;
}

// ---------------------------------------------------------------------------
// CWnd

CWnd::~CWnd() {
  // AfxGetMainWnd must not return a window object that no longer exists.
  CWinApp* app = AfxGetApp();
  if (app != nullptr && app->m_pMainWnd == this) app->m_pMainWnd = nullptr;
}

CWnd* CWnd::FromHandle(HWND hWnd) {
  if (hWnd == nullptr) return nullptr;
  AfxTemporaryObjects& objects = AfxGetTemporaryObjects();
  CWnd* wnd = &objects.windows[objects.nextWindow];
  objects.nextWindow = (objects.nextWindow + 1) % AFX_TEMPORARY_OBJECTS;
  wnd->m_hWnd = hWnd;
  return wnd;
}

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }

BOOL CWnd::EnableWindow(BOOL bEnable) { return ::EnableWindow(m_hWnd, bEnable); }

CWnd* CWnd::SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }

BOOL CWnd::IsIconic() const { return ::IsIconic(m_hWnd); }

void CWnd::GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }

void CWnd::SetWindowText(LPCSTR lpszString) { ::SetWindowTextA(m_hWnd, lpszString); }

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
  return reinterpret_cast<HICON>(::SendMessageA(
      m_hWnd, WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert) const {
  return CMenu::FromHandle(::GetSystemMenu(m_hWnd, bRevert));
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::UpdateData(BOOL bSaveAndValidate) {
  CDataExchange exchange(this, bSaveAndValidate);
  DoDataExchange(&exchange);
  return TRUE;
}

void CWnd::DoDataExchange(CDataExchange*) {}

LRESULT CWnd::Default() {
  if (m_pbDefaultWanted != nullptr) *m_pbDefaultWanted = TRUE;
  return 0;
}

void CWnd::OnSysCommand(UINT, LPARAM) { Default(); }

void CWnd::OnPaint() { Default(); }

void CWnd::OnClose() { Default(); }

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
  UINT code = 0;
  UINT id = 0;
  if (message == WM_COMMAND) {
    code = HIWORD(wParam);
    id = LOWORD(wParam);
  }
  const AFX_MSGMAP_ENTRY* entry = FindMessageEntry(message, code, id);
  if (entry != nullptr) {
    *pResult = entry->pfnThunk(this, wParam, lParam);
    return TRUE;
  }
  // A command the window does not handle goes on to the application: menu
  // commands and accelerators (no control) and button clicks, but not the
  // system's own commands (0xF000 and above).
  if (message == WM_COMMAND && (code == CN_COMMAND || lParam == 0) && id < 0xF000) {
    CWinApp* app = AfxGetApp();
    if (app != nullptr && app->OnCmdMsg(id, code)) {
      *pResult = 0;
      return TRUE;
    }
  }
  return FALSE;
}

// ---------------------------------------------------------------------------
// CMenu

CMenu* CMenu::FromHandle(HMENU hMenu) {
  if (hMenu == nullptr) return nullptr;
  AfxTemporaryObjects& objects = AfxGetTemporaryObjects();
  CMenu* menu = &objects.menus[objects.nextMenu];
  objects.nextMenu = (objects.nextMenu + 1) % AFX_TEMPORARY_OBJECTS;
  menu->m_hMenu = hMenu;
  return menu;
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, LPCSTR lpszNewItem) {
  return ::AppendMenuA(m_hMenu, nFlags, nIDNewItem, lpszNewItem);
}

// ---------------------------------------------------------------------------
// CPaintDC

CPaintDC::CPaintDC(CWnd* pWnd) : m_ps(), m_hDC(nullptr), m_hWnd(pWnd->m_hWnd) {
  m_hDC = ::BeginPaint(m_hWnd, &m_ps);
}

CPaintDC::~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }

BOOL CPaintDC::DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }

// ---------------------------------------------------------------------------
// Data exchange

HWND CDataExchange::PrepareCtrl(int nIDC) const { return ::GetDlgItem(m_pDlgWnd->m_hWnd, nIDC); }

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
  // Bound on every exchange, so a dialog object run twice binds the
  // controls of its second window.
  rControl.m_hWnd = pDX->PrepareCtrl(nIDC);
}

void DDX_Text(CDataExchange* pDX, int nIDC, CString& value) {
  HWND control = pDX->PrepareCtrl(nIDC);
  if (control == nullptr) return;
  if (!pDX->m_bSaveAndValidate) {
    ::SetWindowTextA(control, value);
    return;
  }
  int length = ::GetWindowTextLengthA(control);
  LPSTR buffer = value.GetBuffer(length);
  if (buffer == nullptr) return;
  ::GetWindowTextA(control, buffer, length + 1);
  value.ReleaseBuffer();
}

void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index) {
  HWND control = pDX->PrepareCtrl(nIDC);
  if (control == nullptr) return;
  if (pDX->m_bSaveAndValidate) {
    index = static_cast<int>(::SendMessageA(control, CB_GETCURSEL, 0, 0));
  } else {
    ::SendMessageA(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
}
