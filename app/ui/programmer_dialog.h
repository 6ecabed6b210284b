// The programmer's main dialog: the user picks a device and a Flash ROM
// file and presses Program; the dialog builds the image, sends the device
// into update mode and starts the download worker, whose posted messages it
// turns into progress, the status line and a closing message box.
//
// Runs on the user-interface thread, modally, for the program's whole life.
#pragma once

#include <afxwin.h>
#include <afxcmn.h>

#include "flash_image.h"

// 1 from the moment Program has a built image and is about to trigger the
// device until the worker's final message has been handled (or the trigger
// failed); 0 otherwise. While it is 1, Program is disabled and every way of
// closing the dialog is refused, so the image the worker reads stays put.
// The dialog's thread alone reads and writes it.
extern int UpdateInProgress;

class ProgrammerDialog : public CDialog {
 public:
  explicit ProgrammerDialog(CWnd* pParent = nullptr);
  ~ProgrammerDialog() override;

  // Dialog data.
  FlashImage m_pImage;       // built by the last Program press; none at start
  CAnimateCtrl m_animate;    // control 1009
  CProgressCtrl m_progress;  // control 1006
  CString m_strFile;         // path of the Flash ROM file, control 1003
  int m_nDevice;             // selected position of the device list 1002; -1: none
  CString m_strStatus;       // the status line 1008
  HICON m_hIcon;             // the program's icon

 protected:
  DECLARE_MESSAGE_MAP()
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
  void OnOK() override;      // Close button, Enter
  void OnCancel() override;  // Escape, and WM_CLOSE's default processing

  afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
  afx_msg void OnPaint();
  afx_msg HCURSOR OnQueryDragIcon();
  afx_msg void OnProgram();
  afx_msg void OnBrowse();
  afx_msg void OnClose();  // the close box, the system menu's Close, Alt+F4
  afx_msg void OnRefresh();
  afx_msg LRESULT OnDownloadFailed(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnDownloadRange(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam);
  afx_msg LRESULT OnDownloadDone(WPARAM wParam, LPARAM lParam);

 private:
  // Refresh, Browse, Close and Program, in this order.
  void EnableButtons(BOOL bEnable);
  // A check before the trigger failed: say why and go back to idle.
  void EndPreparation(LPCSTR lpszMessage);
  // The update ended in failure: say why, show "Error" and go back to idle.
  void EndUpdateWithFailure(LPCSTR lpszMessage);
  // While an update runs: say that the dialog cannot close, and TRUE.
  BOOL RefuseCloseWhileBusy();
  // What the dialog holds until it closes: the device table's hub handles
  // and the image.
  void ReleaseDevicesAndImage();
};
