// CWinApp, the program's start-up and the global functions.
#include <string.h>

#include <windows.h>
#include <commctrl.h>

#include "afx_internal.h"

namespace {

// The application object. Constant-initialised, so it is null before any
// static constructor runs and the application object's constructor may run
// first.
CWinApp* afxCurrentWinApp = nullptr;

// Copies at most length characters of text, and never more than the buffer
// holds, with a terminator.
void CopyText(char* buffer, size_t size, const char* text, size_t length) {
  if (length >= size) length = size - 1;
  memcpy(buffer, text, length);
  buffer[length] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------
// CWinApp

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCSTR lpszAppName)
    : m_hInstance(nullptr),
      m_pszAppName(m_szAppName),
      m_pszExeName(m_szExeName),
      m_pszProfileName(m_szProfileName),
      m_pMainWnd(nullptr),
      m_pszConstructedAppName(lpszAppName),
      m_nExitCode(0),
      m_szAppName(),
      m_szExeName(),
      m_szProfileName() {
  afxCurrentWinApp = this;
}

CWinApp::~CWinApp() {
  if (afxCurrentWinApp == this) afxCurrentWinApp = nullptr;
}

BOOL CWinApp::InitInstance() { return TRUE; }

int CWinApp::Run() {
  MSG message;
  BOOL result;
  while ((result = ::GetMessageA(&message, nullptr, 0, 0)) != 0) {
    if (result == -1) break;
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  if (result == 0) m_nExitCode = static_cast<int>(message.wParam);  // WM_QUIT's code
  return ExitInstance();
}

int CWinApp::ExitInstance() { return m_nExitCode; }

HICON CWinApp::LoadIcon(UINT nIDResource) const {
  return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(nIDResource));
}

BOOL CWinApp::WriteProfileString(LPCSTR lpszSection, LPCSTR lpszEntry, LPCSTR lpszValue) {
  // A file name without a path: Windows keeps the file in its own directory.
  return ::WritePrivateProfileStringA(lpszSection, lpszEntry, lpszValue, m_pszProfileName);
}

void CWinApp::OnHelp() {}

BOOL CWinApp::Enable3dControls() { return TRUE; }

// ---------------------------------------------------------------------------
// Global functions

CWinApp* AfxGetApp() { return afxCurrentWinApp; }

CWnd* AfxGetMainWnd() {
  return afxCurrentWinApp != nullptr ? afxCurrentWinApp->m_pMainWnd : nullptr;
}

HINSTANCE AfxGetInstanceHandle() {
  return afxCurrentWinApp != nullptr ? afxCurrentWinApp->m_hInstance : nullptr;
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

int AfxMessageBox(LPCSTR lpszText, UINT nType, UINT) {
  CWnd* mainWnd = AfxGetMainWnd();
  HWND owner = mainWnd != nullptr ? mainWnd->m_hWnd : nullptr;
  LPCSTR caption = afxCurrentWinApp != nullptr ? afxCurrentWinApp->m_pszAppName : nullptr;
  return ::MessageBoxA(owner, lpszText, caption, nType);
}

void AfxEnableControlContainer() {}

// ---------------------------------------------------------------------------
// Start-up

void AfxResetProcessState() {
  AfxTemporaryObjects& objects = AfxGetTemporaryObjects();
  for (CWnd& wnd : objects.windows) wnd.m_hWnd = nullptr;
  for (CMenu& menu : objects.menus) menu.m_hMenu = nullptr;
  objects.nextWindow = 0;
  objects.nextMenu = 0;

  CWinApp* app = afxCurrentWinApp;
  if (app == nullptr) return;
  app->m_hInstance = nullptr;
  app->m_pMainWnd = nullptr;
  app->m_nExitCode = 0;
  app->m_szAppName[0] = '\0';
  app->m_szExeName[0] = '\0';
  app->m_szProfileName[0] = '\0';
}

BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR, int) {
  CWinApp* app = afxCurrentWinApp;
  if (app == nullptr) return FALSE;
  app->m_hInstance = hInstance;

  // The executable's name: the module file name after its last separator,
  // less its extension.
  char path[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (length >= sizeof path) length = sizeof path - 1;  // truncated, maybe unterminated
  path[length] = '\0';
  const char* name = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  const char* extension = strrchr(name, '.');
  size_t nameLength = extension != nullptr ? static_cast<size_t>(extension - name) : strlen(name);
  CopyText(app->m_szExeName, sizeof app->m_szExeName, name, nameLength);

  const char* title =
      app->m_pszConstructedAppName != nullptr ? app->m_pszConstructedAppName : app->m_szExeName;
  CopyText(app->m_szAppName, sizeof app->m_szAppName, title, strlen(title));

  static const char profileExtension[] = ".ini";
  size_t exeLength = strlen(app->m_szExeName);
  size_t room = sizeof app->m_szProfileName - sizeof profileExtension;
  CopyText(app->m_szProfileName, sizeof app->m_szProfileName, app->m_szExeName,
           exeLength < room ? exeLength : room);
  strcat(app->m_szProfileName, profileExtension);

  // The dialogs' progress bar and animation control need their classes
  // registered before the first dialog is created. Should that fail, the
  // dialog cannot be created and DoModal reports it.
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_ANIMATE_CLASS;
  ::InitCommonControlsEx(&controls);
  return TRUE;
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
  AfxResetProcessState();
  CWinApp* app = AfxGetApp();
  if (app == nullptr || !AfxWinInit(hInstance, hPrevInstance, lpCmdLine, nCmdShow)) return -1;
  int exitCode = app->InitInstance() ? app->Run() : app->ExitInstance();
  app->m_pMainWnd = nullptr;
  return exitCode;
}
