// CDialog: modal dialogs run by the dialog manager (DialogBoxParamA), whose
// dialog procedure hands each message to the object's message map.
#include "afxwin.h"

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal() {
  // Without a parent the main window owns the dialog, so that it stays modal
  // to the application (the about box over the main dialog).
  HWND owner = nullptr;
  if (m_pParentWnd != nullptr) {
    owner = m_pParentWnd->m_hWnd;
  } else if (CWnd* mainWnd = AfxGetMainWnd(); mainWnd != nullptr && mainWnd != this) {
    owner = mainWnd->m_hWnd;
  }
  INT_PTR result = ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), owner,
                                     &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
  m_hWnd = nullptr;
  return result;
}

void CDialog::EndDialog(int nResult) { ::EndDialog(m_hWnd, nResult); }

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(TRUE)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    // The object arrives with the first message it can handle; messages
    // before it (WM_SETFONT) get the dialog manager's processing.
    CDialog* dialog = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
    dialog->m_hWnd = hWnd;
    return dialog->OnInitDialog();
  }
  CDialog* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
  if (dialog == nullptr) return FALSE;
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
    dialog->m_hWnd = nullptr;
    return FALSE;
  }
  return dialog->HandleDialogMessage(message, wParam, lParam);
}

INT_PTR CDialog::HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  BOOL defaultWanted = FALSE;
  BOOL* outerDefaultWanted = m_pbDefaultWanted;  // a handler may send us messages
  m_pbDefaultWanted = &defaultWanted;
  LRESULT result = 0;
  BOOL handled = OnWndMsg(message, wParam, lParam, &result);
  m_pbDefaultWanted = outerDefaultWanted;

  // FALSE: the dialog manager processes the message itself.
  if (!handled || defaultWanted) return FALSE;
  // The few messages whose result a dialog procedure returns directly.
  if (message == WM_QUERYDRAGICON) return static_cast<INT_PTR>(result);
  if (m_hWnd != nullptr) ::SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, result);
  return TRUE;
}
