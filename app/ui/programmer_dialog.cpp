#include "programmer_dialog.h"

#include <stdio.h>
#include <stdlib.h>

#include <afxdlgs.h>

#include "about_dialog.h"
#include "download_worker.h"
#include "resource.h"
#include "update_trigger.h"
#include "usb_devices.h"
#include "user_messages.h"

int UpdateInProgress = 0;

namespace {

// Every message box of the dialog.
constexpr UINT MessageBoxStyle = MB_ICONEXCLAMATION | MB_OK;

constexpr char FlashFileFilter[] = "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
constexpr char FlashFileExtension[] = "hex";
// The profile entry Browse writes. Nothing reads it back.
constexpr char ProfileSection[] = "Default Files";
constexpr char ProfileEntry[] = "Flash File";

static_assert((IDM_ABOUTBOX & 0xFFF0) == IDM_ABOUTBOX, "system commands keep their low 4 bits");
static_assert(IDM_ABOUTBOX < 0xF000, "below the system's own commands");

DownloadJob* NewDownloadJob(HWND dialogWindow, FlashImage image) {
  // Zero-filled: the failure text starts empty.
  DownloadJob* job = static_cast<DownloadJob*>(calloc(1, sizeof(DownloadJob)));
  if (job != nullptr) {
    job->DialogWindow = dialogWindow;
    job->Image = image;
  }
  return job;
}

void DeleteDownloadJob(DownloadJob* job) { free(job); }

}  // namespace

BEGIN_MESSAGE_MAP(ProgrammerDialog, CDialog)
ON_WM_SYSCOMMAND()
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_BN_CLICKED(IDC_PROGRAM, OnProgram)
ON_BN_CLICKED(IDC_BROWSE, OnBrowse)
ON_WM_CLOSE()
ON_BN_CLICKED(IDC_REFRESH, OnRefresh)
ON_MESSAGE(WM_DOWNLOAD_FAILED, OnDownloadFailed)
ON_MESSAGE(WM_DOWNLOAD_RANGE, OnDownloadRange)
ON_MESSAGE(WM_DOWNLOAD_PROGRESS, OnDownloadProgress)
ON_MESSAGE(WM_DOWNLOAD_DONE, OnDownloadDone)
END_MESSAGE_MAP()

ProgrammerDialog::ProgrammerDialog(CWnd* pParent)
    : CDialog(IDD_PROGRAMMER_DIALOG, pParent), m_pImage(nullptr), m_nDevice(-1), m_hIcon(nullptr) {
  if (CWinApp* app = AfxGetApp(); app != nullptr) m_hIcon = app->LoadIcon(IDR_MAINFRAME);
}

// Every way of closing frees the image; this covers a dialog that never ran.
ProgrammerDialog::~ProgrammerDialog() { FreeFlashImage(m_pImage); }

void ProgrammerDialog::DoDataExchange(CDataExchange* pDX) {
  CDialog::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_ANIMATION, m_animate);
  DDX_Control(pDX, IDC_PROGRESS, m_progress);
  DDX_Text(pDX, IDC_FILE_PATH, m_strFile);
  DDX_CBIndex(pDX, IDC_DEVICE_LIST, m_nDevice);
  DDX_Text(pDX, IDC_STATUS, m_strStatus);
}

BOOL ProgrammerDialog::OnInitDialog() {
  CDialog::OnInitDialog();

  // The About item at the end of the system menu.
  if (CMenu* systemMenu = GetSystemMenu(FALSE); systemMenu != nullptr) {
    CString aboutItem;
    aboutItem.LoadString(IDS_ABOUTBOX);
    if (!aboutItem.IsEmpty()) {
      systemMenu->AppendMenu(MF_SEPARATOR);
      systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, aboutItem);
    }
  }
  SetIcon(m_hIcon, TRUE);
  SetIcon(m_hIcon, FALSE);

  m_pImage = nullptr;
  // Shown before the dialog is: the device must not be in use while its
  // firmware changes.
  AfxMessageBox(MessageRemoveRemovableMedia, MessageBoxStyle);
  m_progress.SetRange(0, 100);
  m_progress.SetPos(0);
  m_strStatus.Empty();
  m_animate.Open(IDR_PROGRESS_AVI);  // opened here, played during a download
  ULONG deviceCount;                 // the list shows them; the count is not needed
  EnumerateUsbDevices(&deviceCount);
  return TRUE;
}

// ---------------------------------------------------------------------------
// The frame: system menu, minimised painting, drag icon

void ProgrammerDialog::OnSysCommand(UINT nID, LPARAM lParam) {
  // The low four bits of a system command are the system's own.
  if ((nID & 0xFFF0) == IDM_ABOUTBOX) {
    AboutDialog about;
    about.DoModal();
  } else {
    CDialog::OnSysCommand(nID, lParam);
  }
}

void ProgrammerDialog::OnPaint() {
  if (!IsIconic()) {
    CDialog::OnPaint();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

  int iconWidth = GetSystemMetrics(SM_CXICON);
  int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(&client);
  int x = (client.right - client.left - iconWidth + 1) / 2;
  int y = (client.bottom - client.top - iconHeight + 1) / 2;
  dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR ProgrammerDialog::OnQueryDragIcon() { return m_hIcon; }

// ---------------------------------------------------------------------------
// Programming

void ProgrammerDialog::OnProgram() {
  EnableButtons(FALSE);
  CWnd* closeButton = GetDlgItem(IDOK);
  CWnd* programButton = GetDlgItem(IDC_PROGRAM);
  if (closeButton != nullptr) closeButton->SetFocus();

  // From now on Close is drawn as the default button and Program as an
  // ordinary one.
  if (closeButton != nullptr) {
    LONG style = GetWindowLongA(closeButton->m_hWnd, GWL_STYLE);
    closeButton->SendMessage(BM_SETSTYLE, static_cast<WPARAM>((style & 0xFF) | BS_DEFPUSHBUTTON),
                             TRUE);
  }
  if (programButton != nullptr) {
    LONG style = GetWindowLongA(programButton->m_hWnd, GWL_STYLE);
    programButton->SendMessage(BM_SETSTYLE, static_cast<WPARAM>(style & 0xFF & ~BS_DEFPUSHBUTTON),
                               TRUE);
  }

  UpdateData(TRUE);
  m_progress.SetPos(0);
  m_strStatus = StatusPleaseWait;
  UpdateData(FALSE);

  if (m_nDevice < 0 || m_strFile.IsEmpty()) {
    EndPreparation(MessageSelectDeviceAndFile);
    return;
  }
  // A file that cannot be opened leaves the previous image as it was.
  FILE* file = fopen(m_strFile, "rb");
  if (file == nullptr) {
    EndPreparation(MessageFileCannotBeOpened);
    return;
  }
  fclose(file);
  FreeFlashImage(m_pImage);
  m_pImage = BuildFlashImage(m_strFile);
  if (m_pImage == nullptr) {
    EndPreparation(MessageImageNotBuilt);
    return;
  }

  UpdateInProgress = 1;
  if (TriggerUpdateMode(static_cast<ULONG>(m_nDevice)) != 0) {
    EndPreparation(MessageDeviceCannotBeOpened);  // the image stays built
    UpdateInProgress = 0;
    return;
  }

  m_animate.Play(0, 0xFFFF, static_cast<UINT>(-1));
  DownloadJob* job = NewDownloadJob(m_hWnd, m_pImage);
  if (job == nullptr || AfxBeginThread(DownloadWorker, job) == nullptr) {
    // No worker will ever post a final message: end the update here rather
    // than stay busy, and unclosable, for good.
    DeleteDownloadJob(job);
    EndUpdateWithFailure(MessageDownloadNotStarted);
  }
  // Otherwise the dialog stays busy until the worker's final message.
}

void ProgrammerDialog::OnBrowse() {
  CFileDialog fileDialog(TRUE, FlashFileExtension, nullptr, 0, FlashFileFilter, this);
  if (fileDialog.DoModal() != IDOK) return;
  UpdateData(TRUE);
  m_strFile = fileDialog.GetPathName();
  AfxGetApp()->WriteProfileString(ProfileSection, ProfileEntry, m_strFile);
  UpdateData(FALSE);
}

void ProgrammerDialog::OnRefresh() {
  m_progress.SetPos(0);
  m_strStatus.Empty();
  // Only the status line: a path typed but not yet used stays in its box.
  if (CWnd* status = GetDlgItem(IDC_STATUS); status != nullptr) status->SetWindowText(m_strStatus);
  ClearDeviceTable();
  ULONG deviceCount;
  EnumerateUsbDevices(&deviceCount);
}

// ---------------------------------------------------------------------------
// The worker's messages

LRESULT ProgrammerDialog::OnDownloadRange(WPARAM wParam, LPARAM lParam) {
  return m_progress.SendMessage(PBM_SETRANGE, 0, MAKELPARAM(LOWORD(wParam), LOWORD(lParam)));
}

LRESULT ProgrammerDialog::OnDownloadProgress(WPARAM, LPARAM) {
  return m_progress.SendMessage(PBM_DELTAPOS, 1, 0);  // the bar stops at its maximum
}

LRESULT ProgrammerDialog::OnDownloadFailed(WPARAM wParam, LPARAM) {
  DownloadJob* job = reinterpret_cast<DownloadJob*>(wParam);
  EndUpdateWithFailure(job->FailureText);
  DeleteDownloadJob(job);
  return 0;
}

LRESULT ProgrammerDialog::OnDownloadDone(WPARAM wParam, LPARAM) {
  DownloadJob* job = reinterpret_cast<DownloadJob*>(wParam);
  m_strStatus = StatusUpdateComplete;
  UpdateData(FALSE);
  m_animate.Stop();
  AfxMessageBox(MessageUpdateComplete, MessageBoxStyle);
  EnableButtons(TRUE);
  UpdateInProgress = 0;
  DeleteDownloadJob(job);
  return 0;
}

// ---------------------------------------------------------------------------
// Closing

void ProgrammerDialog::OnOK() {
  if (RefuseCloseWhileBusy()) return;
  ReleaseDevicesAndImage();
  CDialog::OnOK();
}

void ProgrammerDialog::OnClose() {
  if (RefuseCloseWhileBusy()) return;
  ReleaseDevicesAndImage();
  CDialog::OnClose();  // the dialog manager turns WM_CLOSE into IDCANCEL
}

void ProgrammerDialog::OnCancel() {
  if (RefuseCloseWhileBusy()) return;
  ReleaseDevicesAndImage();
  CDialog::OnCancel();
}

// ---------------------------------------------------------------------------
// Helpers

void ProgrammerDialog::EnableButtons(BOOL bEnable) {
  static const int buttons[] = {IDC_REFRESH, IDC_BROWSE, IDOK, IDC_PROGRAM};
  for (int id : buttons) {
    if (CWnd* button = GetDlgItem(id); button != nullptr) button->EnableWindow(bEnable);
  }
}

void ProgrammerDialog::EndPreparation(LPCSTR lpszMessage) {
  AfxMessageBox(lpszMessage, MessageBoxStyle);
  m_strStatus.Empty();
  UpdateData(FALSE);
  EnableButtons(TRUE);
}

void ProgrammerDialog::EndUpdateWithFailure(LPCSTR lpszMessage) {
  // The message box first: while it is up the status still reads
  // "Please Wait..." and the animation plays.
  AfxMessageBox(lpszMessage, MessageBoxStyle);
  m_strStatus = StatusError;
  UpdateData(FALSE);
  EnableButtons(TRUE);
  UpdateInProgress = 0;
  m_animate.Stop();
}

BOOL ProgrammerDialog::RefuseCloseWhileBusy() {
  if (!UpdateInProgress) return FALSE;
  AfxMessageBox(MessageCannotCloseWhileBusy, MessageBoxStyle);
  return TRUE;
}

void ProgrammerDialog::ReleaseDevicesAndImage() {
  ClearDeviceTable();
  FreeFlashImage(m_pImage);
}
