// CProgressCtrl and CAnimateCtrl: their messages, nothing more.
#include "afxcmn.h"

void CProgressCtrl::SetRange(short nLower, short nUpper) {
  SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper));
}

int CProgressCtrl::SetPos(int nPos) {
  return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos), 0));
}

int CProgressCtrl::OffsetPos(int nPos) {
  return static_cast<int>(SendMessage(PBM_DELTAPOS, static_cast<WPARAM>(nPos), 0));
}

BOOL CAnimateCtrl::Open(UINT nID) {
  return static_cast<BOOL>(
      SendMessage(ACM_OPENA, 0, reinterpret_cast<LPARAM>(MAKEINTRESOURCEA(nID))));
}

BOOL CAnimateCtrl::Play(UINT nFrom, UINT nTo, UINT nRep) {
  return static_cast<BOOL>(SendMessage(ACM_PLAY, nRep, MAKELPARAM(nFrom, nTo)));
}

BOOL CAnimateCtrl::Stop() { return static_cast<BOOL>(SendMessage(ACM_STOP, 0, 0)); }
