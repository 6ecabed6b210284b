// CFileDialog: the common file-open dialog.
#include <string.h>

#include "afxdlgs.h"

CFileDialog::CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt, LPCSTR lpszFileName,
                         DWORD dwFlags, LPCSTR lpszFilter, CWnd* pParentWnd)
    : m_ofn(), m_bOpenFileDialog(bOpenFileDialog), m_szFileName() {
  if (lpszFileName != nullptr) {
    size_t length = strlen(lpszFileName);
    if (length >= sizeof m_szFileName) length = sizeof m_szFileName - 1;
    memcpy(m_szFileName, lpszFileName, length);
    m_szFileName[length] = '\0';
  }
  if (lpszFilter != nullptr) {
    // "A|B||" becomes "A\0B\0\0": the buffer keeps two terminators after the
    // text whatever the caller's string ends with.
    int length = static_cast<int>(strlen(lpszFilter));
    LPSTR filter = m_strFilter.GetBuffer(length + 1);
    if (filter != nullptr) {
      memcpy(filter, lpszFilter, static_cast<size_t>(length));
      filter[length] = '\0';
      filter[length + 1] = '\0';
      for (int i = 0; i < length; ++i) {
        if (filter[i] == '|') filter[i] = '\0';
      }
      m_ofn.lpstrFilter = filter;
    }
  }
  if (pParentWnd == nullptr) pParentWnd = AfxGetMainWnd();

  // The size Windows 95, 98 and NT 4 know; later versions accept it too.
  m_ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  m_ofn.hwndOwner = pParentWnd != nullptr ? pParentWnd->m_hWnd : nullptr;
  m_ofn.lpstrFile = m_szFileName;
  m_ofn.nMaxFile = sizeof m_szFileName;
  m_ofn.lpstrDefExt = lpszDefExt;
  m_ofn.Flags = dwFlags | OFN_EXPLORER;
}

INT_PTR CFileDialog::DoModal() {
  // afx offers the open dialog only.
  if (!m_bOpenFileDialog) return IDCANCEL;
  return ::GetOpenFileNameA(&m_ofn) ? IDOK : IDCANCEL;
}

CString CFileDialog::GetPathName() const { return CString(m_szFileName); }
