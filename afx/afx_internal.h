// afx's own process-wide state, shared by its sources.
#pragma once

#include "afxwin.h"

// The rings of temporary wrappers that FromHandle hands out. User-interface
// thread only; AfxResetProcessState empties them.
struct AfxTemporaryObjects {
  CWnd windows[AFX_TEMPORARY_OBJECTS];
  int nextWindow;
  CMenu menus[AFX_TEMPORARY_OBJECTS];
  int nextMenu;
};

AfxTemporaryObjects& AfxGetTemporaryObjects();
