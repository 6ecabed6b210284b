#include "programmer_app.h"

#include "programmer_dialog.h"

ProgrammerApp theApp;

BEGIN_MESSAGE_MAP(ProgrammerApp, CWinApp)
ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

// No title of its own: the title is the executable's name.
ProgrammerApp::ProgrammerApp() : CWinApp(nullptr) {}

ProgrammerApp::~ProgrammerApp() = default;

BOOL ProgrammerApp::InitInstance() {
  // A run starts idle. (On the simulated machine one host process may run
  // the program many times; on Windows this is the flag's initial value.)
  UpdateInProgress = 0;

  AfxEnableControlContainer();
  Enable3dControls();

  ProgrammerDialog dialog;
  m_pMainWnd = &dialog;
  dialog.DoModal();  // OK, Cancel, Close and failure all end the program
  return FALSE;
}
