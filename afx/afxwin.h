// afx: a small MFC-compatible class library, written once against Win32.
//
// It holds what the programmer application uses and nothing more: the
// application object and its start-up, windows and modal dialogs with
// message maps and data exchange, a string class, the system menu, painting,
// message boxes, worker threads and profile writing. docs/afx.md describes the
// design and lists every Win32 name afx calls.
//
// Threads: everything here belongs to the user-interface thread except
// AfxBeginThread's thread, which must not touch afx objects.
#pragma once

#include <windows.h>

#include "afxres.h"

class CCmdTarget;
class CWnd;
class CDialog;
class CWinApp;
class CDataExchange;

// Marks message handlers in class declarations.
#define afx_msg

// Notification code of a menu or accelerator command (and BN_CLICKED).
#define CN_COMMAND 0

// How many temporary CWnd (and CMenu) objects are alive at a time.
constexpr int AFX_TEMPORARY_OBJECTS = 16;

// ---------------------------------------------------------------------------
// CString: a NUL-terminated ANSI string on the heap, copied on assignment.
// When memory runs out a string stays (or becomes) empty rather than failing.
class CString {
 public:
  CString();
  CString(LPCSTR text);  // NOLINT(google-explicit-constructor): MFC converts implicitly
  CString(const CString& other);
  CString(CString&& other) noexcept;
  ~CString();

  CString& operator=(const CString& other);
  CString& operator=(CString&& other) noexcept;
  CString& operator=(LPCSTR text);

  operator LPCSTR() const { return m_pchData; }  // NOLINT(google-explicit-constructor)
  int GetLength() const;
  BOOL IsEmpty() const { return m_pchData[0] == '\0'; }
  void Empty();

  // Loads string resource nID of the application; FALSE (and empty) when
  // there is none.
  BOOL LoadString(UINT nID);

  // A writable buffer of at least nMinBufLength characters plus the
  // terminator, holding the current text; null when memory runs out.
  // ReleaseBuffer ends the text at nNewLength, or at its first NUL when -1.
  LPSTR GetBuffer(int nMinBufLength);
  void ReleaseBuffer(int nNewLength = -1);

 private:
  BOOL Assign(LPCSTR text, int length);
  void Release();

  char* m_pchData;     // never null: an empty string points at a shared ""
  int m_nAllocLength;  // characters the heap buffer holds; 0 for the shared ""
};

BOOL operator==(const CString& a, LPCSTR b);

// ---------------------------------------------------------------------------
// Message maps.
//
// Each class with a map has one static table of entries, ended by an entry
// whose thunk is null, and a static AFX_MSGMAP that points at the table and
// at its base class's map. A message is handled by the first entry that
// matches it, searching the class's own table in order and then each base
// class's table. The thunk of an entry calls the handler on the object with
// the handler's own signature, so a handler of the wrong type does not
// compile.
typedef LRESULT (*AFX_PMSGTHUNK)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
  UINT nMessage;  // window message
  UINT nCode;     // WM_COMMAND only: notification code (BN_CLICKED, CN_COMMAND)
  UINT nID;       // WM_COMMAND only: control or command identifier
  AFX_PMSGTHUNK pfnThunk;
};

struct AFX_MSGMAP {
  const AFX_MSGMAP* pBaseMap;                  // null for the root (CCmdTarget)
  const AFX_MSGMAP_ENTRY* (*pfnGetEntries)();  // the class's own table
};

// The class of a pointer to member function.
template <class T>
struct AfxMemberClass;
template <class C, class F>
struct AfxMemberClass<F C::*> {
  typedef C Type;
};

// Thunks, one for each handler signature the entries below use.
template <auto Handler>
LRESULT AfxThunkVoid(CCmdTarget* target, WPARAM, LPARAM) {
  typedef typename AfxMemberClass<decltype(Handler)>::Type Class;
  constexpr void (Class::*handler)() = Handler;
  (static_cast<Class*>(target)->*handler)();
  return 0;
}

template <auto Handler>
LRESULT AfxThunkSysCommand(CCmdTarget* target, WPARAM wParam, LPARAM lParam) {
  typedef typename AfxMemberClass<decltype(Handler)>::Type Class;
  constexpr void (Class::*handler)(UINT, LPARAM) = Handler;
  (static_cast<Class*>(target)->*handler)(static_cast<UINT>(wParam), lParam);
  return 0;
}

template <auto Handler>
LRESULT AfxThunkQueryDragIcon(CCmdTarget* target, WPARAM, LPARAM) {
  typedef typename AfxMemberClass<decltype(Handler)>::Type Class;
  constexpr HCURSOR (Class::*handler)() = Handler;
  return reinterpret_cast<LRESULT>((static_cast<Class*>(target)->*handler)());
}

template <auto Handler>
LRESULT AfxThunkMessage(CCmdTarget* target, WPARAM wParam, LPARAM lParam) {
  typedef typename AfxMemberClass<decltype(Handler)>::Type Class;
  constexpr LRESULT (Class::*handler)(WPARAM, LPARAM) = Handler;
  return (static_cast<Class*>(target)->*handler)(wParam, lParam);
}

// clang-format off
#define DECLARE_MESSAGE_MAP()                              \
 private:                                                  \
  static const AFX_MSGMAP_ENTRY* GetThisMessageEntries(); \
 protected:                                                \
  static const AFX_MSGMAP messageMap;                      \
  const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                        \
  const AFX_MSGMAP theClass::messageMap = {&baseClass::messageMap,                    \
                                           &theClass::GetThisMessageEntries};         \
  const AFX_MSGMAP* theClass::GetMessageMap() const { return &theClass::messageMap; } \
  const AFX_MSGMAP_ENTRY* theClass::GetThisMessageEntries() {                         \
    typedef theClass ThisClass;                                                       \
    static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                \
      {0, 0, 0, nullptr}};                                               \
    static_assert(sizeof(ThisClass) > 0, "the map's class is complete"); \
    return entries;                                                      \
  }
// clang-format on

// void OnSysCommand(UINT nID, LPARAM lParam)
#define ON_WM_SYSCOMMAND() {WM_SYSCOMMAND, 0, 0, &AfxThunkSysCommand<&ThisClass::OnSysCommand>},
// void OnPaint()
#define ON_WM_PAINT() {WM_PAINT, 0, 0, &AfxThunkVoid<&ThisClass::OnPaint>},
// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON() \
  {WM_QUERYDRAGICON, 0, 0, &AfxThunkQueryDragIcon<&ThisClass::OnQueryDragIcon>},
// void OnClose()
#define ON_WM_CLOSE() {WM_CLOSE, 0, 0, &AfxThunkVoid<&ThisClass::OnClose>},
// void memberFxn(): WM_COMMAND from a menu, an accelerator or a button.
#define ON_COMMAND(id, memberFxn) \
  {WM_COMMAND, CN_COMMAND, static_cast<UINT>(id), &AfxThunkVoid<&ThisClass::memberFxn>},
// void memberFxn(): a button's BN_CLICKED notification.
#define ON_BN_CLICKED(id, memberFxn) \
  {WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), &AfxThunkVoid<&ThisClass::memberFxn>},
// LRESULT memberFxn(WPARAM, LPARAM): any other message, typically WM_APP + n.
#define ON_MESSAGE(message, memberFxn) \
  {static_cast<UINT>(message), 0, 0, &AfxThunkMessage<&ThisClass::memberFxn>},

// ---------------------------------------------------------------------------
// The root of the classes that handle messages and commands.
class CCmdTarget {
 public:
  CCmdTarget() = default;
  CCmdTarget(const CCmdTarget&) = delete;
  CCmdTarget& operator=(const CCmdTarget&) = delete;
  virtual ~CCmdTarget() = default;

  // Calls the handler of command nID with notification code nCode, if the
  // map has one; TRUE when it did.
  BOOL OnCmdMsg(UINT nID, UINT nCode);

 protected:
  static const AFX_MSGMAP messageMap;
  virtual const AFX_MSGMAP* GetMessageMap() const;

  // The first entry of this object's maps for the message (and, for
  // WM_COMMAND, the code and identifier); null when there is none.
  const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT nMessage, UINT nCode, UINT nID) const;

 private:
  static const AFX_MSGMAP_ENTRY* GetThisMessageEntries();
};

// ---------------------------------------------------------------------------
// Data exchange between a dialog's members and its controls.
class CDataExchange {
 public:
  CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
      : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

  // The control nIDC of the dialog; null when the dialog has none.
  HWND PrepareCtrl(int nIDC) const;

  BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
  CWnd* m_pDlgWnd;
};

// Binds rControl to control nIDC. afx does not subclass the control: its
// messages stay with the control's own window procedure.
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// The window text of control nIDC.
void DDX_Text(CDataExchange* pDX, int nIDC, CString& value);
// The selected position of combo box nIDC; -1 for none (CB_ERR).
void DDX_CBIndex(CDataExchange* pDX, int nIDC, int& index);

// ---------------------------------------------------------------------------
// A system menu, or any other menu handle afx is given.
class CMenu {
 public:
  CMenu() : m_hMenu(nullptr) {}
  CMenu(const CMenu&) = delete;
  CMenu& operator=(const CMenu&) = delete;

  // A temporary CMenu for hMenu (see CWnd::FromHandle); null for null.
  static CMenu* FromHandle(HMENU hMenu);

  BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, LPCSTR lpszNewItem = nullptr);
  HMENU GetSafeHmenu() const { return m_hMenu; }

  HMENU m_hMenu;
};

// ---------------------------------------------------------------------------
// A window: the handle plus the operations afx offers on it.
class CWnd : public CCmdTarget {
 public:
  CWnd() : m_hWnd(nullptr), m_pbDefaultWanted(nullptr) {}
  ~CWnd() override;

  // A temporary CWnd for hWnd, null for null. Temporary objects live in a
  // small ring owned by afx: use the pointer at once and do not keep it
  // (it is reused after AFX_TEMPORARY_OBJECTS later look-ups). User-interface
  // thread only.
  static CWnd* FromHandle(HWND hWnd);

  HWND GetSafeHwnd() const { return m_hWnd; }
  CWnd* GetDlgItem(int nID) const;
  BOOL EnableWindow(BOOL bEnable = TRUE);
  CWnd* SetFocus();  // returns the window that had the focus, as a temporary
  BOOL IsIconic() const;
  void GetClientRect(LPRECT lpRect) const;
  void SetWindowText(LPCSTR lpszString);
  HICON SetIcon(HICON hIcon, BOOL bBigIcon);  // WM_SETICON
  CMenu* GetSystemMenu(BOOL bRevert) const;   // a temporary, or null
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

  // Runs DoDataExchange: controls to members (TRUE) or members to controls
  // (FALSE). TRUE, as no exchange afx offers can fail.
  BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

  HWND m_hWnd;

 protected:
  virtual void DoDataExchange(CDataExchange* pDX);

  // Asks for the system's default processing of the message being handled.
  // In a dialog that is the dialog manager's processing, which runs when the
  // handler has returned; every handler here calls Default last.
  LRESULT Default();

  // Handlers whose whole work is the default processing.
  afx_msg void OnSysCommand(UINT nID, LPARAM lParam);
  afx_msg void OnPaint();
  afx_msg void OnClose();

  // Finds and calls the handler of a message: the map's entry, or for a
  // WM_COMMAND without one, the application's map (commands below 0xF000).
  // TRUE and the handler's result when one ran.
  BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

  BOOL* m_pbDefaultWanted;  // set while a handler runs; Default() sets it
};

// ---------------------------------------------------------------------------
// A modal dialog from a dialog template resource.
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

  // Creates the dialog from its template and runs it until EndDialog. The
  // owner is the parent given, else the application's main window when it
  // exists. Returns EndDialog's result, or -1 when the dialog could not be
  // created.
  virtual INT_PTR DoModal();
  void EndDialog(int nResult);

 protected:
  // WM_INITDIALOG: shows the members in the controls (UpdateData(FALSE)).
  // TRUE lets the system set the focus.
  virtual BOOL OnInitDialog();
  // IDOK: UpdateData(TRUE), then EndDialog(IDOK).
  virtual void OnOK();
  // IDCANCEL: EndDialog(IDCANCEL).
  virtual void OnCancel();

  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;

  DECLARE_MESSAGE_MAP()

 private:
  static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR HandleDialogMessage(UINT message, WPARAM wParam, LPARAM lParam);
};

// ---------------------------------------------------------------------------
// A device context for WM_PAINT: BeginPaint on construction, EndPaint on
// destruction.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* pWnd);
  ~CPaintDC();
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;

  HDC GetSafeHdc() const { return m_hDC; }
  BOOL DrawIcon(int x, int y, HICON hIcon);

  PAINTSTRUCT m_ps;
  HDC m_hDC;

 private:
  HWND m_hWnd;
};

// ---------------------------------------------------------------------------
// The application object. The program defines exactly one, as a static
// object; its constructor registers it with afx before WinMain runs.
class CWinApp : public CCmdTarget {
 public:
  // lpszAppName: the application's title; null takes the executable's name.
  explicit CWinApp(LPCSTR lpszAppName = nullptr);
  ~CWinApp() override;

  // The program's own start-up. FALSE ends the program at once; TRUE runs
  // the application's message loop (Run) until WM_QUIT.
  virtual BOOL InitInstance();
  virtual int Run();
  virtual int ExitInstance();  // the program's exit code

  HICON LoadIcon(UINT nIDResource) const;
  // Writes an entry of the application's profile: the file named after the
  // executable (m_pszProfileName), which Windows keeps in its own directory.
  BOOL WriteProfileString(LPCSTR lpszSection, LPCSTR lpszEntry, LPCSTR lpszValue);

  // ID_HELP. The system carries no help file for the program, so there is
  // nothing to show and the command does nothing.
  afx_msg void OnHelp();

  // Set at start-up (AfxWinInit) for each run of the program.
  HINSTANCE m_hInstance;
  LPCSTR m_pszAppName;      // title: caption of every AfxMessageBox
  LPCSTR m_pszExeName;      // executable's file name without extension
  LPCSTR m_pszProfileName;  // "<exe name>.ini"
  CWnd* m_pMainWnd;         // set by the program; cleared when that window object dies

 protected:
  // Windows 95, 98 and NT 4 draw dialogs in 3D themselves: there is no
  // library to load, and TRUE says the controls look three-dimensional.
  BOOL Enable3dControls();

  DECLARE_MESSAGE_MAP()

 private:
  friend BOOL AfxWinInit(HINSTANCE, HINSTANCE, LPSTR, int);
  friend void AfxResetProcessState();

  LPCSTR m_pszConstructedAppName;
  int m_nExitCode;
  char m_szAppName[MAX_PATH];
  char m_szExeName[MAX_PATH];
  char m_szProfileName[MAX_PATH];
};

// ---------------------------------------------------------------------------
// Worker threads.
typedef UINT (*AFX_THREADPROC)(LPVOID pParam);

// The thread object AfxBeginThread creates. It belongs to the new thread and
// deletes itself when the thread ends, so a caller must not keep it.
class CWinThread {
 public:
  AFX_THREADPROC m_pfnThreadProc;
  LPVOID m_pThreadParams;
};

// Starts pfnThreadProc(pParam) on a new thread at once: normal priority,
// default stack, no security attributes. The thread's handle is closed at
// once (nothing waits on it). Null when the thread could not be created.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam);

// ---------------------------------------------------------------------------
// Global functions.
CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// MessageBoxA owned by the main window, captioned with the application's
// title. nIDHelp is accepted for compatibility; there is no help file.
int AfxMessageBox(LPCSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// afx hosts no ActiveX controls, so there is no container support to enable.
void AfxEnableControlContainer();

// Process start-up and shutdown, run by WinMain in this order.
//
// AfxResetProcessState returns every piece of afx's process-wide state to
// what a new process has, except the registration of the application object
// (made once by its static constructor): the main window, the instance, the
// names and the temporary objects. A host that runs the program many times in
// one process therefore starts each run fresh by calling WinMain.
void AfxResetProcessState();
// Records the instance, takes the title, executable and profile names from
// the module's file name, and registers the common control classes the
// program's dialogs use (progress bar, animation). FALSE without an
// application object.
BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
// WinMain's work: start-up, InitInstance, then Run or ExitInstance.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
