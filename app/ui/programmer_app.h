// The application object: runs the main dialog modally and then ends the
// program.
#pragma once

#include <afxwin.h>

class ProgrammerApp : public CWinApp {
 public:
  ProgrammerApp();
  ~ProgrammerApp() override;

 protected:
  DECLARE_MESSAGE_MAP()

 public:
  // Runs the main dialog and returns FALSE, so that the program ends when
  // the dialog does, however it was closed.
  BOOL InitInstance() override;
};

// The one application object, constructed before WinMain runs.
extern ProgrammerApp theApp;
