// afx: the common dialogs the programmer uses.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include "afxwin.h"

// The common file-open dialog (GetOpenFileNameA).
class CFileDialog {
 public:
  // bOpenFileDialog: TRUE; afx has no save dialog, and with FALSE DoModal
  // shows nothing and returns IDCANCEL.
  // lpszDefExt: appended when the user types a name without extension (no
  // dot). lpszFilter: pairs of description and pattern separated by '|' and
  // ended by "||", as "Text (*.txt)|*.txt||". dwFlags: OFN_ flags; afx adds
  // OFN_EXPLORER, the dialog of Windows 95 and later.
  explicit CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt = nullptr,
                       LPCSTR lpszFileName = nullptr, DWORD dwFlags = 0,
                       LPCSTR lpszFilter = nullptr, CWnd* pParentWnd = nullptr);
  CFileDialog(const CFileDialog&) = delete;
  CFileDialog& operator=(const CFileDialog&) = delete;

  // IDOK when the user chose a file, IDCANCEL when not (or on failure).
  INT_PTR DoModal();
  CString GetPathName() const;  // the full path chosen

  OPENFILENAMEA m_ofn;

 private:
  BOOL m_bOpenFileDialog;
  CString m_strFilter;  // '|' replaced by NUL
  char m_szFileName[MAX_PATH];
};
