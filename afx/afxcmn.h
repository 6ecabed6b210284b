// afx: the common controls the programmer's dialog uses.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "afxwin.h"

// A progress bar ("msctls_progress32").
class CProgressCtrl : public CWnd {
 public:
  void SetRange(short nLower, short nUpper);  // PBM_SETRANGE
  int SetPos(int nPos);                       // PBM_SETPOS; the previous position
  int OffsetPos(int nPos);                    // PBM_DELTAPOS; the previous position
};

// An animation control ("SysAnimate32") playing a clip resource.
class CAnimateCtrl : public CWnd {
 public:
  // Opens clip resource nID of the module that created the control
  // (ACM_OPEN with no instance handle).
  BOOL Open(UINT nID);
  // Plays frames nFrom to nTo (0xFFFF: the last) nRep times (-1: for ever).
  BOOL Play(UINT nFrom, UINT nTo, UINT nRep);
  BOOL Stop();
};
